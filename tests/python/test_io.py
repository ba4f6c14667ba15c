"""The command's files: lines found as an editor counts them, Parquet read back as written, and
outputs that appear all together or not at all."""

import os

import numpy as np
import pandas as pd
import pytest

import tondrakit
from tondrakit._cli import main


def refusal(tmp_path, capsys, path, *args):
    """The command's one line for the input at `path`, without the program's and file's names."""
    assert main([str(path), "--by", "g", *args, "-o", str(tmp_path / "out.csv")]) == 2
    err = capsys.readouterr().err
    assert os.listdir(tmp_path) == [path.name]  # nothing written
    return err.removeprefix(f"tondrakit: {path}: ").removesuffix("\n")


class TestLines:
    @pytest.mark.parametrize("text, message", [
        ("g,x,y\na,1,2\n\n\na,3,4\na,five,6\n", "line 6: column 'x' holds 'five', not a number"),
        ('g,x,note\na,1,"two\nlines"\na,2,"three\nmore\nlines"\na,q,z\n',
         "line 7: column 'x' holds 'q', not a number"),
        ("g,x,y\r\na,1,2\r\n\r\na,q,4\r\n", "line 4: column 'x' holds 'q', not a number"),
        ("\ufeffg,x,y\na,1,2\na,q,4\n", "line 3: column 'x' holds 'q', not a number"),
        ("\n  \ng,x,y\na,1,2\na,q,4\n", "line 5: column 'x' holds 'q', not a number"),
        ("g,x,y\na,1,2\na,,3\n", "line 3: column 'x' is empty"),
        ("g,x,y\na,1,2\na,-Infinity,4\n", "line 3: column 'x' holds '-Infinity': coordinates must be finite"),
    ])
    def test_the_line_an_editor_shows(self, tmp_path, capsys, text, message):
        path = tmp_path / "in.csv"
        path.write_bytes(text.encode())
        # The quoted column is the y of the second table: it is read after x.
        assert refusal(tmp_path, capsys, path, "-y", "note" if "note" in text else "y") == message


class TestParquet:
    def test_points_come_back_as_written_and_a_saved_index_as_a_column(self, tmp_path, capsys):
        pytest.importorskip("pyarrow")
        t = np.linspace(0.0, 3.0, 12)
        frame = pd.DataFrame({"x": np.cos(t) * 1e-300 + 1.5e-300, "y": np.sin(t) * 1e-300},
                             index=pd.Index(["a"] * 6 + ["b"] * 6, name="group"))
        frame.to_parquet(tmp_path / "p.parquet")
        out = tmp_path / "out.parquet"
        assert main([str(tmp_path / "p.parquet"), "-o", str(out)]) == 0
        assert capsys.readouterr() == ("", "")
        expected = tondrakit.fit_groups(frame.reset_index())
        pd.testing.assert_frame_equal(pd.read_parquet(out), expected, check_exact=True)

    @pytest.mark.parametrize("values, message", [
        ([1.0, None, 2.0, 3.0], "row 2: column 'x' is empty"),
        ([1.0, 2.0, float("nan"), 3.0], "row 3: column 'x' holds nan, not a number"),
    ])
    def test_a_null_is_empty_and_a_nan_is_not_a_number(self, tmp_path, capsys, values, message):
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        path = tmp_path / "p.parquet"
        pq.write_table(pa.table({"g": ["a"] * 4, "x": pa.array(values, from_pandas=False),
                                 "y": [0.0, 1.0, 2.0, 3.0]}), path)
        assert refusal(tmp_path, capsys, path) == message


class TestOutputs:
    def test_all_or_none(self, tmp_path, capsys, monkeypatch):
        path = tmp_path / "in.csv"
        path.write_text("g,x,y\na,1,0\na,0,1\na,-1,0\n")
        real = pd.DataFrame.to_csv

        def quota_on_the_second(self, out=None, *args, **kwargs):  # the inliers went first
            if "cx" in self.columns:
                raise OSError(122, "Disk quota exceeded")
            return real(self, out, *args, **kwargs)

        monkeypatch.setattr(pd.DataFrame, "to_csv", quota_on_the_second)
        status = main([str(path), "--by", "g", "--robust", "-o", str(tmp_path / "a.csv"),
                       "--inliers", str(tmp_path / "b.csv")])
        assert status == 2
        assert capsys.readouterr().err == f"tondrakit: cannot write {tmp_path / 'a.csv'}: Disk quota exceeded\n"
        assert os.listdir(tmp_path) == ["in.csv"]

    def test_a_new_file_gets_the_mode_open_would_give_it(self, tmp_path, capsys):
        path = tmp_path / "in.csv"
        path.write_text("g,x,y\na,1,0\na,0,1\na,-1,0\n")
        old = os.umask(0o022)
        try:
            assert main([str(path), "--by", "g", "-o", str(tmp_path / "a.csv")]) == 0
        finally:
            os.umask(old)
        assert os.stat(tmp_path / "a.csv").st_mode & 0o777 == 0o644
        assert sorted(os.listdir(tmp_path)) == ["a.csv", "in.csv"]
