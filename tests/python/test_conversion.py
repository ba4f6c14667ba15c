import array
import collections
import sys

import pytest

import tondra


def centre_x(xs):
    """The mean of xs as the module converts it (ys is a fixed valid point set)."""
    return tondra.fit_geometrical(xs, [0.0])[0]


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return info.value


class Seq:
    """A minimal user sequence: the old __getitem__ protocol with a chosen __len__."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TestConversion:
    @pytest.mark.parametrize(
        "xs, mean",
        [
            ([1.0, 2.0, 6.0], 3.0),
            ((1.0, 2.0, 6.0), 3.0),
            (range(1, 4), 2.0),
            (b"\x01\x03", 2.0),
            (bytearray(b"\x02\x04"), 3.0),
            (array.array("d", [0.5, 1.5]), 1.0),
            (collections.deque([4, 8]), 6.0),
            (Seq([1, 2, 3]), 2.0),
            ([True, False], 0.5),
            ([1, 2**53], (1 + 2**53) / 2),
            ([Floaty(1.5), 2.5], 2.0),
            ([float("inf"), 1.0], float("inf")),
        ],
    )
    def test_accepted_sequences(self, xs, mean):
        assert centre_x(xs) == mean

    def test_empty_sequence_is_an_empty_vector(self):
        result = tondra.fit_geometrical([], (0.0,))
        assert result[0] != result[0] and result[1] == 0.0

    def test_nan_passes_unchecked(self):
        assert centre_x([float("nan")]) != centre_x([float("nan")])

    def test_float_and_int_subclasses_go_through_the_host(self):
        class F(float):
            def __float__(self):
                return 10.0

        class I(int):
            def __index__(self):
                return 20

        # The host's conversion reads a float subclass's value and an int subclass's value,
        # whatever their hooks say; no fast path of ours may differ.
        assert centre_x([F(1.0)]) == 1.0
        assert centre_x([I(3)]) == 3.0

    def test_index_only_objects_convert(self):
        class Index:
            def __index__(self):
                return 7

        assert centre_x([Index()]) == 7.0

    def test_minus_one_is_a_value_not_an_error(self):
        assert centre_x([-1.0, Floaty(-1.0), -1]) == -1.0

    def test_str_is_refused(self):
        e = type_error(lambda: tondra.fit_geometrical("12", [0.0]))
        assert str(e) == "argument 'xs': Can't extract `str` to `Vec`"

        class S(str):
            pass

        e = type_error(lambda: tondra.fit_geometrical([0.0], S("12")))
        assert str(e) == "argument 'ys': Can't extract `str` to `Vec`"

    @pytest.mark.parametrize(
        "obj, name",
        [
            (5, "int"),
            ({1: 2}, "dict"),
            ({1, 2}, "set"),
            ((i for i in range(3)), "generator"),
            (iter([1.0]), "list_iterator"),
            (None, "NoneType"),
        ],
    )
    def test_non_sequences_are_refused(self, obj, name):
        e = type_error(lambda: tondra.fit_geometrical([0.0], obj))
        assert str(e) == f"argument 'ys': '{name}' object cannot be converted to 'Sequence'"

    def test_qualified_type_name_is_used(self):
        class Outer:
            class Inner:
                pass

        e = type_error(lambda: tondra.fit_geometrical(Outer.Inner(), [0.0]))
        assert str(e) == (
            "argument 'xs': 'TestConversion.test_qualified_type_name_is_used.<locals>."
            "Outer.Inner' object cannot be converted to 'Sequence'"
        )

    def test_only_xs_is_reported_when_both_are_invalid(self):
        e = type_error(lambda: tondra.fit_geometrical(1, "x"))
        assert str(e) == "argument 'xs': 'int' object cannot be converted to 'Sequence'"

    def test_string_item_gets_the_host_message_with_prefix(self):
        e = type_error(lambda: tondra.fit_geometrical([1.0, "2"], [0.0]))
        assert str(e) == "argument 'xs': must be real number, not str"

    def test_prefixed_error_takes_the_cause_of_the_original(self):
        root = KeyError("root")

        class Bad:
            def __float__(self):
                raise TypeError("bad float") from root

        e = type_error(lambda: tondra.fit_geometrical([0.0], [Bad()]))
        assert str(e) == "argument 'ys': bad float"
        assert e.__cause__ is root
        assert e.args == ("argument 'ys': bad float",)

    def test_prefixed_error_without_cause_suppresses_context(self):
        e = type_error(lambda: tondra.fit_geometrical([Floaty(TypeError("plain"))], [0.0]))
        assert str(e) == "argument 'xs': plain"
        assert e.__cause__ is None
        assert e.__suppress_context__

    def test_type_error_subclass_and_value_error_arrive_unchanged(self):
        class MyTypeError(TypeError):
            pass

        original = MyTypeError("mine")
        with pytest.raises(MyTypeError) as info:
            tondra.fit_geometrical([Floaty(original)], [0.0])
        assert info.value is original

        original = ValueError("value")
        with pytest.raises(ValueError) as info:
            tondra.fit_geometrical([0.0], [Floaty(original)])
        assert info.value is original

    def test_too_large_int_is_an_overflow_error(self):
        with pytest.raises(OverflowError):
            centre_x([10**400])

    def test_lone_surrogates_in_the_message_become_replacement_characters(self):
        e = type_error(lambda: centre_x([Floaty(TypeError("a\udc80b\ud83d\ude00\u00e9"))]))
        # Each lone surrogate is three ill-formed bytes; real non-ASCII text stays as it is.
        assert str(e) == "argument 'xs': a\ufffd\ufffd\ufffdb" + "\ufffd" * 6 + "\u00e9"

    def test_unprintable_error_is_named_by_its_type(self, monkeypatch):
        class BadArg:
            def __str__(self):
                raise RuntimeError("no str")

        unraisable = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        # str() of this exact TypeError fails inside its argument's __str__.
        e = type_error(lambda: centre_x([Floaty(TypeError(BadArg()))]))
        assert str(e) == "argument 'xs': <unprintable TypeError object>"
        assert [type(u.exc_value) for u in unraisable] == [RuntimeError]

    def test_iteration_errors_pass_through(self):
        class BadIter:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                raise ValueError("from getitem")

        with pytest.raises(ValueError, match="from getitem"):
            centre_x(BadIter())

        e = type_error(lambda: centre_x(Seq([1.0, "2"])))
        assert str(e).startswith("argument 'xs': must be real number")

    def test_raising_len_still_iterates(self):
        assert centre_x(Seq([1.0, 3.0], length=RuntimeError("no len"))) == 2.0
        assert centre_x(Seq([1.0, 3.0], length=-1)) == 2.0  # ValueError from len()
        assert centre_x(Seq([1.0, 3.0], length=2**70)) == 2.0  # OverflowError from len()

    def test_length_is_only_a_hint(self):
        assert centre_x(Seq([2.0, 4.0], length=100)) == 3.0
        assert centre_x(Seq([2.0, 4.0, 6.0], length=1)) == 4.0

    def test_list_changed_by_float_is_read_like_the_host_iterator(self):
        xs = [0.0, 0.0, 0.0, 0.0]

        class Shrinker:
            def __float__(self):
                del xs[2:]
                return 3.0

        class Grower:
            def __float__(self):
                xs.append(8.0)
                return 1.0

        xs[1] = Shrinker()
        assert centre_x(xs) == 1.5  # [0.0, 3.0]: the removed items are not read
        xs[:] = [Grower(), 3.0]
        assert centre_x(xs) == 4.0  # [1.0, 3.0, 8.0]: the appended item is read

    def test_item_dropped_by_its_own_float_stays_alive(self):
        xs = []

        class Dropper:
            def __float__(self):
                xs.clear()
                return 5.0

        xs.append(Dropper())
        assert centre_x(xs) == 5.0

    def test_huge_length_hint_raises_memory_error_and_module_keeps_working(self):
        with pytest.raises(MemoryError):
            centre_x(Seq([1.0, 2.0], length=10**17))
        assert centre_x([1.0, 2.0]) == 1.5

    def test_method_none_means_the_default(self):
        assert tondra.fit_lsq([0.5], [-3.0], None) == [0.5, -3.0]
        assert tondra.fit_lsq([0.5], [-3.0]) == [0.5, -3.0]

    def test_method_must_be_a_str(self):
        e = type_error(lambda: tondra.fit_lsq([0.0], [0.0], 5))
        assert str(e) == "argument 'method': 'int' object cannot be converted to 'PyString'"
        e = type_error(lambda: tondra.fit_lsq([0.0], [0.0], b"lbfgs"))
        assert str(e) == "argument 'method': 'bytes' object cannot be converted to 'PyString'"

    def test_method_that_utf8_cannot_carry_raises_the_encoding_error(self):
        with pytest.raises(UnicodeEncodeError):
            tondra.fit_lsq([0.0], [0.0], "\udc80")

    def test_method_is_converted_after_the_points(self):
        e = type_error(lambda: tondra.fit_lsq([0.0], "x", 5))
        assert str(e).startswith("argument 'ys'")

    def test_result_is_a_fresh_list_of_floats(self):
        first = tondra.fit_geometrical([1, 3], [True, True])
        second = tondra.fit_geometrical([1, 3], [True, True])
        assert first == second == [2.0, 1.0]
        assert first is not second
        assert type(first) is list and all(type(v) is float for v in first)
