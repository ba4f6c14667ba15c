"""The command's files: lines found as an editor counts them, Parquet read back as written, and
outputs that appear all together or not at all."""

import os

import numpy as np
import pandas as pd
import pytest

from tondrakit._io import InputError, Outputs, read_table


def where(tmp_path, text, column="x", name="in.csv"):
    """The message for the first bad cell of `column`."""
    path = tmp_path / name
    path.write_bytes(text.encode())
    table = read_table(str(path))
    with pytest.raises(InputError) as caught:
        table.numbers(column)
    return str(caught.value).removeprefix(f"{path}: ")


class TestLines:
    @pytest.mark.parametrize("text, message", [
        ("x,y\n1,2\n\n\n3,4\nfive,6\n", "line 6: column 'x' holds 'five', not a number"),
        ('x,note\n1,"two\nlines"\n2,"three\nmore\nlines"\nq,z\n', "line 7: column 'x' holds 'q', not a number"),
        ("x,y\r\n1,2\r\n\r\nq,4\r\n", "line 4: column 'x' holds 'q', not a number"),
        ("\ufeffx,y\n1,2\nq,4\n", "line 3: column 'x' holds 'q', not a number"),
        ("\n  \nx,y\n1,2\nq,4\n", "line 5: column 'x' holds 'q', not a number"),
        ("x,y\n1,2\n,\n,4\n", "line 4: column 'x' is empty"),
        ("x,y\n1,2\n-Infinity,4\n", "line 3: column 'x' holds '-Infinity': coordinates must be finite"),
    ])
    def test_the_line_an_editor_shows(self, tmp_path, text, message):
        assert where(tmp_path, text) == message


class TestParquet:
    def test_points_come_back_as_written_and_a_saved_index_as_a_column(self, tmp_path):
        pytest.importorskip("pyarrow")
        frame = pd.DataFrame({"x": [1.5, -2.0, 1e-300], "y": [0.1, 0.2, 0.3]},
                             index=pd.Index(["a", "a", "b"], name="group"))
        frame.to_parquet(tmp_path / "p.parquet")
        table = read_table(str(tmp_path / "p.parquet"))
        pd.testing.assert_frame_equal(table.frame, frame.reset_index())
        np.testing.assert_array_equal(table.numbers("x"), frame["x"].to_numpy())

    def test_a_null_is_empty_and_a_nan_is_not_a_number(self, tmp_path):
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        pq.write_table(pa.table({"x": pa.array([1.0, None, float("nan")], from_pandas=False)}),
                       tmp_path / "p.parquet")
        table = read_table(str(tmp_path / "p.parquet"))
        with pytest.raises(InputError, match=r"row 2: column 'x' is empty$"):
            table.numbers("x")
        table.frame.loc[1, "x"] = 0.0
        with pytest.raises(InputError, match=r"row 3: column 'x' holds nan, not a number$"):
            table.numbers("x")


class TestOutputs:
    def test_all_or_none(self, tmp_path):
        with Outputs() as outputs:
            outputs.stage(str(tmp_path / "a.txt"), lambda out: out.write(b"a"))
            with pytest.raises(InputError, match=f"^cannot write {tmp_path / 'b.txt'}: Disk quota exceeded$"):
                outputs.stage(str(tmp_path / "b.txt"), lambda out: (_ for _ in ()).throw(OSError(122, "Disk quota exceeded")))
        assert os.listdir(tmp_path) == []

    def test_a_new_file_gets_the_mode_open_would_give_it(self, tmp_path):
        old = os.umask(0o022)
        try:
            with Outputs() as outputs:
                outputs.stage(str(tmp_path / "a.csv"), lambda out: out.write(b"a"))
                outputs.commit()
        finally:
            os.umask(old)
        assert os.stat(tmp_path / "a.csv").st_mode & 0o777 == 0o644
        assert os.listdir(tmp_path) == ["a.csv"]
