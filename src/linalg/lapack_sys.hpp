#pragma once
// The one LAPACK routine we call, declared by hand so that the build needs no LAPACK headers.
//
// Reference (Fortran) calling convention: every argument by address, integers signed 32-bit.
// The job characters are single characters, so no hidden string-length arguments are passed.

#include <cstdint>

extern "C" {

// Singular value decomposition A = U * diag(S) * VT of the m x n column-major matrix A (leading
// dimension lda), which it overwrites. jobu/jobvt: 'A' for all vectors of that side, 'N' for
// none (the buffer is then not referenced). lwork = -1 asks for the optimal workspace size,
// returned in work[0]. info: 0 on success, -i when argument i was illegal, > 0 when the
// iteration did not converge.
void dgesvd_(const char* jobu, const char* jobvt, const std::int32_t* m, const std::int32_t* n,
             double* a, const std::int32_t* lda, double* s, double* u, const std::int32_t* ldu,
             double* vt, const std::int32_t* ldvt, double* work, const std::int32_t* lwork,
             std::int32_t* info);

}  // extern "C"
