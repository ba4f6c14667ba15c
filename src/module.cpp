// Placeholder until the host boundary lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "tondra", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tondra(void) { return PyModule_Create(&g_def); }
