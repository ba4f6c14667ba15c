"""The tondrakit command: its tables and files, and one line with exit status 2 for each kind of
bad input or option (never a traceback, never an output file, not even a partial one)."""

import contextlib
import io
import os
import pathlib
import stat
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import tondrakit
from tondrakit._cli import HELP, main

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


def noisy_table(seed=5, groups=4, n=24, outliers=3):
    """Groups on circles with noise, a few far points in each, rows shuffled."""
    rng = np.random.default_rng(seed)
    parts = []
    for g in range(groups):
        t = rng.uniform(0, 2 * np.pi, n)
        x, y = 10 * g + 2 * np.cos(t) + rng.normal(0, 0.01, n), 2 * np.sin(t) + rng.normal(0, 0.01, n)
        x[:outliers] += rng.uniform(3, 6, outliers)
        parts.append(pd.DataFrame({"group": f"g{g}", "x": x, "y": y}))
    return pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=seed, ignore_index=True)


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
        assert table.loc[7, "r"] == pytest.approx(1.0, abs=1e-9)

    def test_robust_inliers_are_one_field_of_0_and_1(self, tmp_path, capsys):
        data = noisy_table()
        status, out, _ = run(tmp_path, capsys, data.to_csv(index=False), "--robust")
        assert status == 0
        table = pd.read_csv(io.StringIO(out), index_col="group", dtype={"inliers": str})
        expected = tondrakit.fit_groups(data, robust=True)
        for key, mask in expected["inliers"].items():
            assert table.loc[key, "inliers"] == "".join("1" if v else "0" for v in mask)
            assert table.loc[key, "n"] == table.loc[key, "inliers"].count("1")

    def test_parquet_in_and_out_keep_every_bit_and_the_masks(self, tmp_path, capsys):
        pytest.importorskip("pyarrow")
        data = noisy_table(seed=6)
        data.to_parquet(tmp_path / "points.parquet")
        out_path = tmp_path / "circles.parquet"
        assert main([str(tmp_path / "points.parquet"), "--robust", "-o", str(out_path)]) == 0
        assert capsys.readouterr() == ("", "")
        back = pd.read_parquet(out_path)
        expected = tondrakit.fit_groups(data, robust=True)
        pd.testing.assert_frame_equal(back.drop(columns="inliers"), expected.drop(columns="inliers"))
        for key in expected.index:
            np.testing.assert_array_equal(back.loc[key, "inliers"], expected.loc[key, "inliers"])

    @pytest.mark.parametrize("suffix", [".csv", ".parquet"])
    def test_inliers_writes_the_input_rows_with_their_flag(self, tmp_path, capsys, suffix):
        if suffix == ".parquet":
            pytest.importorskip("pyarrow")
        data = noisy_table(seed=7).assign(note="n")
        rows_path = tmp_path / f"rows{suffix}"
        status, _, err = run(tmp_path, capsys, data.to_csv(index=False), "--robust",
                             "--inliers", str(rows_path), "-o", str(tmp_path / "c.csv"))
        assert (status, err) == (0, "")
        rows = pd.read_csv(rows_path) if suffix == ".csv" else pd.read_parquet(rows_path)
        assert list(rows.columns) == ["group", "x", "y", "note", "inlier"]
        np.testing.assert_array_equal(rows[["x", "y"]].to_numpy(), data[["x", "y"]].to_numpy())
        expected = tondrakit.inlier_rows(tondrakit.fit_groups(data, robust=True), data)
        assert rows["inlier"].tolist() == expected.tolist()
        assert 0 < (~rows["inlier"]).sum() < len(rows)

    def test_standard_input(self, capsys, monkeypatch):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(POINTS.encode())))
        assert main(["-"]) == 0
        assert capsys.readouterr().out.startswith("group,cx,cy,r,rms,n,")

    def test_the_command_and_python_m_run_the_same_program(self, tmp_path):
        (tmp_path / "in.csv").write_text(POINTS)
        script = pathlib.Path(sys.executable).with_name("tondrakit")
        commands = [[sys.executable, "-m", "tondrakit", "in.csv"]]
        if script.exists():  # installed with the package; absent when run from the source tree
            commands.append([str(script), "in.csv"])
        outputs = {subprocess.run(c, cwd=tmp_path, capture_output=True, timeout=120).stdout for c in commands}
        assert len(outputs) == 1 and outputs.pop().startswith(b"group,cx,cy,r,rms,n,")


QUOTED = 'group,x,y\n"a\nb",1,0\n"a\nb",0,1\n"a\nb",x,0\n'
EXTRA_FIELD = "group,x,y\na,1,0\n\na,0,1,4\na,-1,0\n"


class TestBadInput:
    @pytest.mark.parametrize("text, args, message", [
        # columns and cells, each at the line an editor shows
        (POINTS, ["-x", "X"], "no column 'X' (choose one with -x); the columns are: 'group', 'x', 'y'"),
        (POINTS, ["--by", "hole"], "no column 'hole' (choose one with --by); the columns are: 'group', 'x', 'y'"),
        ("group,x,y\na,1,0\na,1..5,2\n", [], "line 3: column 'x' holds '1..5', not a number"),
        ("group,x,y\na,1,0\na,nan,2\n", [], "line 3: column 'x' holds 'nan', not a number"),
        ("group,x,y\na,1,0\n\na,1,\n", [], "line 4: column 'y' is empty"),
        ("group,x,y\na,1,0\na,1\n", [], "line 3 has 2 fields, but the header has 3"),
        (EXTRA_FIELD, [], "line 4 has 4 fields, but the header has 3"),
        ("group,x,y\na,1,0,7\na,0,1\n", [], "line 2 has 4 fields, but the header has 3"),
        (QUOTED, [], "line 6: column 'x' holds 'x', not a number"),
        ("\n\ngroup,x,y\na,1,0\na,0,one\n", [], "line 5: column 'y' holds 'one', not a number"),
        ("group,x,y\r\na,1,0\r\n\r\na,0,q\r\n", [], "line 4: column 'y' holds 'q', not a number"),
        ("group,x,y\na,1,0\n,2,2\n", [], "line 3: column 'group' is empty: every point needs a group"),
        ("group,x,y\na,1,1e400\n", [], "line 2: column 'y' holds '1e400': coordinates must be finite"),
        ("group,x,y\na,1,0\na,1,\"open\n", [], "line 3: a quoted field is never closed"),
        ("", [], "in.csv is empty"),
        ("group,x,y\n", [], "in.csv has no rows of data"),
        ("group,x,x,y\na,1,0,0\na,0,1,1\na,-1,0,0\n", [], "the header names the column 'x' more than once"),
        ("group,x,y\na,1,0\na,١٢,1\n", [], "line 3: column 'x' holds '١٢', not a number"),
        # options, each checked before the input is read
        (POINTS, ["--threshold", "0.1"], "--threshold applies to robust fits only: add --robust"),
        (POINTS, ["--confidence", "0.9"], "--confidence applies to robust fits only: add --robust"),
        (POINTS, ["--inliers", "rows.csv"], "--inliers applies to robust fits only: add --robust"),
        (POINTS, ["--robust", "--threshold", "-1"], "--threshold: threshold must be a positive finite number, got -1.0"),
        (POINTS, ["--robust", "--threshold", "0"], "--threshold: threshold must be a positive finite number, got 0.0"),
        (POINTS, ["--robust", "--threshold", "nan"], "--threshold: threshold must be a positive finite number, got nan"),
        (POINTS, ["--robust", "--threshold", "inf"], "--threshold: threshold must be a positive finite number, got inf"),
        (POINTS, ["--robust", "--threshold", "-inf"], "--threshold: threshold must be a positive finite number, got -inf"),
        (POINTS, ["--robust", "--threshold", "wide"], "--threshold: 'wide' is not a number"),
        (POINTS, ["--robust", "--confidence", "1"], "--confidence: confidence must lie strictly between 0 and 1, got 1.0"),
        (POINTS, ["--robust", "--confidence", "-0.5"], "--confidence: confidence must lie strictly between 0 and 1, got -0.5"),
        (POINTS, ["--robust", "--confidence", "sure"], "--confidence: 'sure' is not a number"),
        (POINTS, ["--method", "lbfgs"], "--method: unknown method 'lbfgs': expected one of 'geometric', 'hyper', 'lsq', 'nelder_mead', 'taubin', 'centroid'"),
        (POINTS, ["--on-error", "skip"], "--on-error: unknown on_error 'skip': expected one of 'raise', 'nan'"),
        (POINTS, ["-j", "0"], "-j: workers must be at least 1, got 0"),
        (POINTS, ["-j", "-2"], "-j: workers must be at least 1, got -2"),
        (POINTS, ["-j", "two"], "-j: 'two' is not a whole number"),
        # beyond what can be started, and digits the cells would refuse
        (POINTS, ["-j", "99999999999999999999"], "-j: workers must be at most 65536"),
        (POINTS, ["-j", str(2**63)], "-j: workers must be at most 65536"),
        (POINTS, ["-j", "٢"], "-j: '٢' is not a whole number"),
        (POINTS, ["--robust", "--threshold", "١"], "--threshold: '١' is not a number"),
        (POINTS, ["--robust", "--threshold", "1_0"], "--threshold: '1_0' is not a number"),
        (POINTS, ["--plot", "fits.jpg"], "--plot fits.jpg: unknown picture format '.jpg': use .png, .pdf or .svg"),
        (POINTS, ["--inliers", "rows.txt", "--robust"], "--inliers rows.txt: unknown table format '.txt'"),
        (POINTS, ["--frobnicate"], "unrecognized arguments: --frobnicate (see tondrakit --help)"),
    ])
    def test_one_line_and_status_2_and_nothing_written(self, tmp_path, capsys, monkeypatch, text, args, message):
        monkeypatch.chdir(tmp_path)
        status, out, err = run(tmp_path, capsys, text, *args, "-o", str(tmp_path / "out.csv"))
        assert status == 2 and out == ""
        assert err.startswith("tondrakit: ") and err.count("\n") == 1, err
        assert message in err
        assert os.listdir(tmp_path) == ["in.csv"]

    def test_an_unknown_output_suffix_is_named_with_its_option(self, tmp_path, capsys):
        status, _, err = run(tmp_path, capsys, POINTS, "-o", str(tmp_path / "out.xlsx"))
        assert status == 2
        assert err == f"tondrakit: -o {tmp_path / 'out.xlsx'}: unknown table format '.xlsx': use .csv or .parquet\n"

    def test_outputs_that_cannot_be_written_are_refused_before_the_fit(self, tmp_path, capsys):
        for args, message in [
            (["-o", str(tmp_path / "no" / "out.csv")], f"cannot write {tmp_path / 'no' / 'out.csv'}: No such file or directory"),
            (["-o", str(tmp_path)], f"cannot write {tmp_path}: Is a directory"),
            (["-o", str(tmp_path / "a.csv"), "--robust", "--inliers", str(tmp_path / "a.csv")],
             f"--inliers {tmp_path / 'a.csv'}: the same file as another output"),
        ]:
            status, _, err = run(tmp_path, capsys, POINTS, *args)
            assert (status, err) == (2, f"tondrakit: {message}\n")
        assert sorted(os.listdir(tmp_path)) == ["in.csv"]

    def test_a_failed_write_names_the_output_not_a_temporary_file(self, tmp_path, capsys, monkeypatch):
        def full_disk(self, path, *args, **kwargs):
            raise OSError(28, "No space left on device", str(path))

        monkeypatch.setattr(pd.DataFrame, "to_csv", full_disk)
        out_path = tmp_path / "out.csv"
        status, out, err = run(tmp_path, capsys, POINTS, "-o", str(out_path))
        assert (status, out) == (2, "")
        assert err == f"tondrakit: cannot write {out_path}: No space left on device\n"
        assert os.listdir(tmp_path) == ["in.csv"]

    def test_one_failed_output_leaves_none_of_the_others(self, tmp_path, capsys, monkeypatch):
        real = pd.DataFrame.to_csv

        def fail_on_the_table(self, path=None, *args, **kwargs):
            if "cx" in self.columns:
                raise OSError(5, "Input/output error", str(path))
            return real(self, path, *args, **kwargs)

        monkeypatch.setattr(pd.DataFrame, "to_csv", fail_on_the_table)
        status, _, err = run(tmp_path, capsys, POINTS, "--robust", "--inliers", str(tmp_path / "rows.csv"),
                             "-o", str(tmp_path / "out.csv"))
        assert (status, err) == (2, f"tondrakit: cannot write {tmp_path / 'out.csv'}: Input/output error\n")
        assert os.listdir(tmp_path) == ["in.csv"]

    def test_missing_extras_are_named(self, tmp_path, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        status, out, err = run(tmp_path, capsys, POINTS, "--plot", str(tmp_path / "p.png"))
        assert (status, out) == (2, "")
        assert err == ("tondrakit: --plot: drawing needs matplotlib: install the extra with"
                       "  pip install 'tondra[plot]'\n")
        status, out, err = run(tmp_path, capsys, POINTS, "-o", str(tmp_path / "out.parquet"))
        assert (status, out) == (2, "")
        assert err == (f"tondrakit: {tmp_path / 'out.parquet'}: Parquet needs pyarrow: install the extra"
                       " with  pip install 'tondra[parquet]'\n")

    def test_unreadable_paths(self, tmp_path, capsys):
        for path, message in [
            (tmp_path / "missing.csv", f"cannot read {tmp_path / 'missing.csv'}: No such file or directory"),
            (tmp_path, f"cannot read {tmp_path}: Is a directory"),
            (tmp_path / "points.txt", f"{tmp_path / 'points.txt'}: unknown table format '.txt': use .csv or .parquet"),
        ]:
            assert main([str(path)]) == 2
            assert capsys.readouterr().err == f"tondrakit: {message}\n"

    def test_a_pipe_by_name_is_read_once_and_its_lines_still_found(self, capsys):
        read, write = os.pipe()
        os.write(write, b"group,x,y\na,1,0\n\na,zz,1\n")
        os.close(write)
        try:
            assert main([f"/dev/fd/{read}"]) == 2
        finally:
            os.close(read)
        assert capsys.readouterr().err == f"tondrakit: /dev/fd/{read}: line 4: column 'x' holds 'zz', not a number\n"

    def test_a_file_that_is_not_parquet(self, tmp_path, capsys):
        pytest.importorskip("pyarrow")
        status, _, err = run(tmp_path, capsys, POINTS, name="in.parquet")
        assert status == 2 and err.count("\n") == 1
        assert err.startswith(f"tondrakit: {tmp_path / 'in.parquet'} is not a Parquet table: ")

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
            2, b"tondrakit: in.csv: line 2: column 'x' holds 'b', not a number\n")


class TestHelp:
    def test_help_and_version_load_neither_numpy_nor_pandas(self):
        probe = ("import sys\nfrom tondrakit._cli import main\nstatus = main(sys.argv[1:])\n"
                 "heavy = sorted({m.split('.')[0] for m in sys.modules} & {'numpy', 'pandas', 'argparse', 'tondra'})\n"
                 "print('loaded:', heavy)\nsys.exit(status)\n")
        for flag in ("--help", "--version"):
            proc = subprocess.run([sys.executable, "-c", probe, flag], capture_output=True, text=True, timeout=120)
            assert proc.returncode == 0 and proc.stderr == ""
            assert proc.stdout.endswith("loaded: []\n")
        assert proc.stdout.startswith("tondrakit ")

    def test_every_option_the_help_shows_is_the_commands_and_no_other(self, tmp_path, capsys):
        import re

        from tondrakit._options import DEFAULT_CONFIDENCE, METHODS, PLOT_PANELS

        usage, options = HELP.split("\n\narguments:")[0], HELP.split("\noptions:\n")[1]
        shown = dict(re.findall(r"\[(-[-\w]+)(?: ([A-Z]+|\{[\w,]+\}))?\]", usage))
        described = {}
        for line in options.split("\n\n")[0].splitlines():
            if line.startswith("  -"):
                names = [part.split()[0] for part in line.strip().split("  ")[0].split(", ")]
                described.update({name: names[0] for name in names})  # long name: its short one
        assert set(shown) == set(described.values())
        path = tmp_path / "in.csv"
        path.write_text(POINTS)
        for option, short in described.items():
            if short in ("-h", "--version"):
                continue
            value = shown[short]
            status = main([str(path), option, *([value] if value else []), "-o", str(tmp_path / "o.csv")])
            err = capsys.readouterr().err
            assert "unrecognized arguments" not in err and "expected one argument" not in err, option
            assert status == 0 or short in err, (option, err)
        for unknown in ("--robustly", "--method-name", "-q", "--rob"):
            assert main([str(path), unknown]) == 2
            assert "unrecognized arguments" in capsys.readouterr().err
        methods = HELP.split("\n  --method M")[1].split("\n  --radius")[0]
        assert all(m in methods for m in METHODS)
        assert f"(default: {DEFAULT_CONFIDENCE})" in HELP
        assert f"the first {PLOT_PANELS} groups" in HELP

    def test_help_anywhere_answers_without_looking_at_the_rest(self, capsys):
        assert main(["missing.csv", "--method", "nope", "-h"]) == 0
        assert capsys.readouterr() == (HELP, "")


class TestOutputsWrittenThrough:
    """An output is written through the name given, never replaced by a file of its own."""

    def expected_table(self):
        return tondrakit.fit_groups(pd.read_csv(io.StringIO(POINTS))).to_csv()

    def test_a_symbolic_link_keeps_pointing_at_the_new_file(self, tmp_path, capsys):
        (tmp_path / "real").mkdir()
        target = tmp_path / "real" / "out.csv"
        target.write_text("old\n")
        link = tmp_path / "link.csv"
        link.symlink_to(target)
        dangling = tmp_path / "new.csv"
        dangling.symlink_to(tmp_path / "real" / "not-yet.csv")
        status, _, err = run(tmp_path, capsys, POINTS, "-o", str(link), "--plot", str(dangling.with_suffix(".png")))
        assert (status, err) == (0, "")
        assert link.is_symlink() and target.read_text() == self.expected_table()
        status, _, _ = run(tmp_path, capsys, POINTS, "-o", str(dangling))
        assert status == 0 and dangling.is_symlink()
        assert (tmp_path / "real" / "not-yet.csv").read_text() == self.expected_table()
        assert sorted(os.listdir(tmp_path / "real")) == ["not-yet.csv", "out.csv"]

    def test_a_hard_link_is_rewritten_in_place(self, tmp_path, capsys):
        first = tmp_path / "a.csv"
        first.write_text("x" * 10_000)
        os.link(first, tmp_path / "b.csv")
        status, _, _ = run(tmp_path, capsys, POINTS, "-o", str(first))
        assert status == 0
        assert (tmp_path / "b.csv").read_text() == first.read_text() == self.expected_table()

    def test_a_fifo_is_written_not_replaced(self, tmp_path, capsys):
        import threading

        fifo = tmp_path / "pipe.csv"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_text()), daemon=True)
        reader.start()
        status, _, err = run(tmp_path, capsys, POINTS, "-o", str(fifo))
        if not received:
            # A reader still waiting: let it go. One that has just finished has no open end left.
            with contextlib.suppress(OSError):
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        reader.join(timeout=60)
        assert (status, err) == (0, "")
        assert received == [self.expected_table()]
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)

    @pytest.mark.parametrize("name", ["/dev/stdout", "-", "/dev/fd/1"])
    def test_standard_output_by_any_name(self, tmp_path, name):
        (tmp_path / "in.csv").write_text(POINTS)
        proc = subprocess.run([sys.executable, "-m", "tondrakit", "in.csv", "-o", name], cwd=tmp_path,
                              capture_output=True, text=True, timeout=120)
        assert (proc.returncode, proc.stderr) == (0, "")
        assert proc.stdout == self.expected_table()
        assert os.path.islink("/dev/stdout") and sorted(os.listdir(tmp_path)) == ["in.csv"]

    def test_two_outputs_to_standard_output_are_refused(self, tmp_path, capsys):
        status, _, err = run(tmp_path, capsys, POINTS, "--robust", "--inliers", "-")
        assert (status, err) == (2, "tondrakit: --inliers standard output: the same file as another output\n")

    @pytest.mark.skipif(os.geteuid() != 0 or not os.path.exists("/dev/full"),
                        reason="replacing a device takes root: only then is the fault visible")
    def test_a_full_device_is_one_line_and_stays_a_device(self, tmp_path, capsys):
        status, out, err = run(tmp_path, capsys, POINTS, "-o", "/dev/full", "--plot", str(tmp_path / "p.png"))
        assert (status, out) == (2, "")
        assert err == "tondrakit: cannot write /dev/full: No space left on device\n"
        assert stat.S_ISCHR(os.stat("/dev/full").st_mode)
        assert sorted(os.listdir(tmp_path)) == ["in.csv"]  # the picture is not left behind either
