"""Reading coordinates from buffers: every element kind and layout gives what iterating the
object would, and float64 arrays are read where they lie."""

import array
import struct
import warnings

import numpy as np
import pytest

import tondra
from test_conversion import centre_x


def bits(value):
    return struct.pack("<d", value).hex()


def outcome(xs, ys=(0.0,)):
    """The centre's bits, or the error's type and text: what a caller can tell apart."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return [bits(v) for v in tondra.fit_geometrical(xs, ys)]
    except Exception as e:
        return type(e), str(e)


class Iterated:
    """Hands the module the object's own len and iteration, as a user sequence: the path every
    sequence took before buffers were read directly."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


def raw(dtype, *patterns):
    """Elements given by their bit patterns, e.g. NaNs with a payload or signalling."""
    size = np.dtype(dtype).itemsize
    return np.frombuffer(b"".join(p.to_bytes(size, "little") for p in patterns), dtype=dtype)


def special_values(dtype):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        info = np.finfo(dtype)
        finite = np.array([0.0, -0.0, 1.5, -2.25, info.max, info.min, info.smallest_subnormal,
                           np.inf, -np.inf, np.nan, -np.nan], dtype)
        top = 1 << (8 * dtype.itemsize - 1)
        quiet = {2: 0x7E00, 4: 0x7FC00000, 8: 0x7FF8 << 48}[dtype.itemsize]
        nans = raw(dtype, quiet | 5, (quiet >> 1) + 3 | top, quiet - 1)  # payload, signalling
        return np.concatenate([finite, nans])
    if dtype.kind == "b":
        return np.frombuffer(b"\x00\x01\x02\xff", dtype=dtype)  # any byte but 0 is true
    info = np.iinfo(dtype)
    near = [2**53 + 1, 2**53 + 3, 2**63 - 1, 2**63 + 1025, 2**64 - 1, -(2**53) - 1]
    return np.array([0, 1, info.min, info.max, info.min + 1, info.max - 1]
                    + [v for v in near if info.min <= v <= info.max], dtype)


def layouts(a):
    pairs = np.empty((len(a), 2), a.dtype)
    pairs[:, 0], pairs[:, 1] = a, a[::-1]
    packed = np.zeros(len(a), [("pad", "i1"), ("v", a.dtype)])  # unaligned, "=" format
    packed["v"] = a
    return [a, a[::-1], np.repeat(a, 3)[1::3], pairs[:, 0], pairs[:, 1], packed["v"],
            np.broadcast_to(a[:1], (3,))]


DTYPES = ["f8", "f4", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?",
          np.longlong, np.ulonglong, np.intc, np.uintc]


class TestBufferConversion:
    @pytest.mark.parametrize("dtype", DTYPES)
    def test_elements_read_as_their_items_convert(self, dtype):
        for a in layouts(special_values(dtype)):
            for i in range(len(a)):
                one = a[i : i + 1]
                assert outcome(one, one) == outcome([a[i]], [one.tolist()[0]]), (a, i)
            assert outcome(a, a[::-1]) == outcome(list(a), list(a[::-1]))

    def test_integers_round_to_nearest_even(self):
        cases = {2**53 + 1: 2.0**53, 2**53 + 3: 2.0**53 + 4, 2**64 - 1: 2.0**64,
                 2**63 + 1025: 2.0**63 + 2048, -(2**63): -(2.0**63)}
        for value, expected in cases.items():
            a = np.array([value], "i8" if value < 0 else "u8")
            assert tondra.fit_geometrical(a, a[::-1]) == [expected, expected]

    @pytest.mark.parametrize("make", [
        lambda: np.arange(4.0).astype(">f8"),
        lambda: np.arange(6.0).reshape(3, 2),
        lambda: np.arange(3.0).reshape(3, 1),
        lambda: np.array(2.5),
        lambda: np.array([1 + 2j, 3j]),
        lambda: np.array([1.0, "x"], object),
        lambda: np.array([1, 2**70], object),
        lambda: np.array(["2020-01-01"], "M8[D]"),
        lambda: np.array([b"ab"]),
        lambda: np.zeros(2, [("a", "f8"), ("b", "i4")]),
        lambda: memoryview(np.zeros(3, [("p", "i1"), ("v", "f8")])["v"]),  # '=d': unreadable
        lambda: memoryview(b"ab").cast("c"),
        lambda: memoryview(np.arange(6.0)).cast("B").cast("d", (2, 3)),
        lambda: array.array("u", "ab"),
    ])
    def test_other_layouts_and_kinds_take_the_iteration_path(self, make):
        assert outcome(make()) == outcome(Iterated(make()))
        assert outcome([0.0], make()) == outcome([0.0], Iterated(make()))

    def test_only_xs_is_reported_when_both_are_invalid(self):
        assert outcome(np.array([1.0, "x"], object), np.zeros((2, 2))) == outcome(
            [1.0, "x"], np.zeros((2, 2)))

    def test_ndarray_subclass_is_iterated(self):
        class Liar(np.ndarray):
            def __iter__(self):
                return iter([10.0] * len(self))

            def __getitem__(self, i):
                return 20.0

        assert centre_x(np.arange(3.0).view(Liar)) == 10.0

    @pytest.mark.parametrize("code", "bBhHiIlLqQfd")
    def test_array_array(self, code):
        a = array.array(code, [0, 1, 100] if code in "BHILQ" else [0, -1, 100])
        big = {"q": -(2**63), "Q": 2**64 - 1, "l": -(2**63), "L": 2**63 + 1025}.get(code)
        if big is not None and a.itemsize == 8:
            a.append(big)
        assert outcome(a, a[::-1]) == outcome(list(a), list(a)[::-1])

    @pytest.mark.parametrize("fmt", ["d", "f", "e", "q", "Q", "?", "@d", "n", "N", "B"])
    def test_memoryview(self, fmt):
        size = struct.calcsize(fmt)
        data = bytes(range(7, 7 + 8 * size)) + b"\xff" * 8 * size  # NaNs, large, negative
        # 3.11 cannot cast to 'e', but a memoryview of numpy's halves has that format too
        view = memoryview(np.frombuffer(data, "e")) if fmt == "e" else memoryview(data).cast(fmt)
        assert view.format == fmt
        for v in (view, view[::-1], view[1::3], memoryview(array.array("d", [1.5, -0.0]))[::-1]):
            assert outcome(v, v) == outcome(Iterated(v), Iterated(v))

    def test_released_memoryview_gives_the_host_error(self):
        view = memoryview(b"\x01\x02")
        view.release()
        assert outcome(view) == (ValueError, "operation forbidden on released memoryview object")

    def test_huge_broadcast_raises_memory_error(self):
        with pytest.raises(MemoryError):
            centre_x(np.broadcast_to(np.float64(1.0), (2**59,)))

    def test_impossible_length_is_the_capacity_fault(self, child):
        proc = child("""
            import numpy as np, tondra
            try:
                tondra.fit_geometrical(np.broadcast_to(np.int8(1), (2**61,)), [0.0])
            except BaseException as e:
                print(type(e).__name__, e)
        """)
        assert proc.stdout == b"PanicException capacity overflow\n"


class TestArraysReadInPlace:
    """float64 arrays are read where they lie, yet each argument is read as it was when converted,
    and the caller's arrays stay free to change once the call no longer needs them."""

    def test_array_written_by_the_other_arguments_float_keeps_its_converted_values(self):
        xs = np.array([1.0, 2.0, 3.0])

        class Writes:
            def __float__(self):
                xs[:] = 100.0
                return 0.0

        assert tondra.fit_geometrical(xs, [Writes(), 0.0, 0.0]) == [2.0, 0.0]
        assert tondra.fit_geometrical(xs[::-1], [Writes(), 0.0, 0.0]) == [100.0, 0.0]

    @pytest.mark.parametrize("code", ["d", "i"])
    def test_array_resized_by_the_other_arguments_float_is_not_held(self, code):
        xs = array.array(code, [1, 2, 3])

        class Grows:
            def __float__(self):
                xs.append(7)
                return 0.0

        assert tondra.fit_geometrical(xs, [Grows(), 0.0, 0.0]) == [2.0, 0.0]
        assert len(xs) == 4

    def test_every_fit_reads_strided_views_as_their_copies(self):
        pts = np.array([[3.0, -1.0], [7.0, 2.5], [4.0, 6.0], [-1.0, 3.0], [0.5, 0.25]])
        for fit in (tondra.fit_geometrical, tondra.taubin_svd, tondra.fit_lsq):
            for x, y in [(pts[:, 0], pts[:, 1]), (pts[::-1, 0], pts[::-1, 1]),
                         (pts[::2, 0], pts[::2, 1])]:
                assert fit(x, y) == fit(list(x), list(y)) == fit(x.copy(), y.copy())
