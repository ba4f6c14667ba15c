"""The tondrakit command: its tables, its files, and one line with exit status 2 for each kind
of bad input (never a traceback, never a partial output file)."""

import io
import os
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import tondrakit
from tondrakit._cli import main

POINTS = """group,x,y
a,1,0
a,0,1
a,-1,0
a,0,-1

b,12,5
b,10,7
b,8,5
b,10,3
"""


def run(tmp_path, capsys, text, *args, name="in.csv"):
    path = tmp_path / name
    path.write_text(text)
    status = main([str(path), *args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


class TestTables:
    def test_the_table_is_fit_groups_as_csv(self, tmp_path, capsys):
        status, out, err = run(tmp_path, capsys, POINTS, "--method", "taubin")
        assert (status, err) == (0, "")
        expected = tondrakit.fit_groups(pd.read_csv(io.StringIO(POINTS)), method="taubin")
        assert out == expected.to_csv()
        back = pd.read_csv(io.StringIO(out), index_col="group")
        assert np.array_equal(back.to_numpy(), expected.to_numpy())  # every digit survives

    def test_columns_output_file_and_nan_rows(self, tmp_path, capsys):
        text = "E,N,stem\n1,0,7\n0,1,7\n-1,0,7\n5,5,9\n6,6,9\n"
        out_path = tmp_path / "out.csv"
        status, out, err = run(tmp_path, capsys, text, "-x", "E", "-y", "N", "--by", "stem",
                               "--on-error", "nan", "-o", str(out_path))
        assert (status, out, err) == (0, "", "")
        table = pd.read_csv(out_path, index_col="stem")
        assert list(table.index) == [7, 9]
        assert table.loc[9, "error"] == "need at least 3 points, got 2"
        assert table.loc[7, "r"] == pytest.approx(1.0, abs=1e-9)  # three points: L-BFGS's tolerance

    def test_robust_fits_count_their_outliers(self, tmp_path, capsys):
        t = np.linspace(0, 2 * np.pi, 30, endpoint=False)
        rows = [f"1,{float(np.cos(a))!r},{float(np.sin(a))!r}" for a in t] + ["1,0.1,0.2", "1,3.0,-2.5"]
        status, out, _ = run(tmp_path, capsys, "group,x,y\n" + "\n".join(rows) + "\n",
                             "--robust", "--threshold", "0.05")
        assert status == 0
        table = pd.read_csv(io.StringIO(out), index_col="group")
        assert (table.loc[1, "n"], table.loc[1, "outliers"]) == (30, 2)

    def test_plot_draws_a_png(self, tmp_path, capsys):
        picture = tmp_path / "fits.png"
        status, _, err = run(tmp_path, capsys, POINTS, "--plot", str(picture))
        assert (status, err) == (0, "")
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_the_command_and_python_m_run_the_same_program(self, tmp_path):
        (tmp_path / "in.csv").write_text(POINTS)
        script = pathlib.Path(sys.executable).with_name("tondrakit")
        commands = [[sys.executable, "-m", "tondrakit", "in.csv"]]
        if script.exists():  # installed with the package; absent when run from the source tree
            commands.append([str(script), "in.csv"])
        outputs = {subprocess.run(c, cwd=tmp_path, capture_output=True, timeout=120).stdout for c in commands}
        assert len(outputs) == 1 and outputs.pop().startswith(b"group,cx,cy,r,rms,n,")


class TestBadInput:
    @pytest.mark.parametrize("text, args, message", [
        (POINTS, ["-x", "X"], "no column 'X' (choose one with -x); the columns are: 'group', 'x', 'y'"),
        (POINTS, ["--by", "hole"], "no column 'hole' (choose one with --by); the columns are: 'group', 'x', 'y'"),
        ("group,x,y\na,1,0\na,1..5,2\n", [], "line 3: column 'x' holds '1..5', not a number"),
        ("group,x,y\na,1,0\n\na,1,\n", [], "line 4: column 'y' is empty"),
        ("group,x,y\na,1,0\n,2,2\n", [], "line 3: column 'group' is empty: every point needs a group"),
        ("group,x,y\na,1,inf\n", [], "line 2: column 'y' holds inf: coordinates must be finite"),
        ("", [], "in.csv is empty"),
        ("group,x,y\n", [], "in.csv has no rows of data"),
        (POINTS, ["--threshold", "0.1"], "--threshold applies to robust fits only: add --robust"),
        (POINTS, ["--method", "lbfgs"], "argument --method: invalid choice: 'lbfgs'"),
    ])
    def test_one_line_and_status_2(self, tmp_path, capsys, text, args, message):
        out_path = tmp_path / "out.csv"
        status, out, err = run(tmp_path, capsys, text, *args, "-o", str(out_path))
        assert status == 2 and out == ""
        assert err.startswith("tondrakit: ") and err.count("\n") == 1, err
        assert message in err
        assert not out_path.exists()

    def test_plot_without_matplotlib_names_the_extra(self, tmp_path, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
        status, out, err = run(tmp_path, capsys, POINTS, "--plot", str(tmp_path / "p.png"))
        assert (status, out) == (2, "")
        assert err == ("tondrakit: --plot: drawing needs matplotlib: install the extra with"
                       "  pip install 'tondra[plot]'\n")

    def test_unreadable_paths(self, tmp_path, capsys):
        for path, reason in [(tmp_path / "missing.csv", "No such file or directory"),
                             (tmp_path, "Is a directory")]:
            assert main([str(path)]) == 2
            assert capsys.readouterr().err == f"tondrakit: cannot read {path}: {reason}\n"

    def test_a_group_without_a_circle_is_status_1_and_writes_nothing(self, tmp_path, capsys):
        out_path = tmp_path / "out.csv"
        collinear = POINTS.split("\nb,")[0] + "\nb,0,0\nb,1,1\nb,2,2\n"
        status, out, err = run(tmp_path, capsys, collinear, "-o", str(out_path))
        assert status == 1 and not out_path.exists()
        assert err == ("tondrakit: group 'b': the points are collinear: no circle passes through them"
                       " (--on-error nan writes such a group as a row of NaN)\n")
        assert os.listdir(tmp_path) == ["in.csv"]  # no temporary file left either

    def test_no_traceback_from_a_child_process(self, tmp_path):
        (tmp_path / "in.csv").write_text("group,x,y\na,b,c\n")
        proc = subprocess.run([sys.executable, "-m", "tondrakit", "in.csv"], cwd=tmp_path,
                              capture_output=True, timeout=120)
        assert (proc.returncode, proc.stderr) == (
            2, b"tondrakit: line 2: column 'x' holds 'b', not a number\n")
