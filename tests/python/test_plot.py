"""tondrakit.plot and the command's --plot: what is drawn (points, the circle over them, the
outliers, the method in the legend), where (new axes, given axes, panels, image coordinates),
and files that really are the format their suffix names."""

import sys

import numpy as np
import pandas as pd
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 - after the backend is chosen

import tondrakit  # noqa: E402
from tondrakit._cli import main  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def arc_with_strays(n=40, seed=3):
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 2.5, n)
    xs, ys = 3.0 + 2.0 * np.cos(t), -1.0 + 2.0 * np.sin(t)
    xs[::8] += rng.uniform(2.0, 4.0, xs[::8].size)
    return xs, ys


def groups(count, seed=4):
    rng = np.random.default_rng(seed)
    parts = []
    for g in range(count):
        t = rng.uniform(0, 2 * np.pi, 20)
        x, y = 6 * g + np.cos(t), np.sin(t) + rng.normal(0, 0.01, 20)
        x[0] += 3.0
        parts.append(pd.DataFrame({"key": g, "x": x, "y": y}))
    return pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=seed, ignore_index=True)


def markers(ax, marker):
    """The points of the axes' lines drawn with `marker`, as one (n, 2) array."""
    found = [np.column_stack(line.get_data()) for line in ax.get_lines() if line.get_marker() == marker]
    return np.concatenate(found) if found else np.empty((0, 2))


def legend(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


class TestOneFit:
    def test_a_circle_with_its_points_on_new_axes(self):
        xs, ys = [36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26]
        circle = tondrakit.fit(xs, ys, method="taubin")
        ax = tondrakit.plot(circle, (xs, ys))
        assert legend(ax) == ["points", "circle (taubin)"]
        patch = ax.patches[0]
        assert patch.center == pytest.approx((circle.cx, circle.cy)) and patch.radius == circle.r
        assert patch.get_zorder() > max(line.get_zorder() for line in ax.get_lines() if line.get_marker() == ".")
        assert ax.get_aspect() == 1.0
        np.testing.assert_array_equal(markers(ax, "."), np.column_stack([xs, ys]))

    def test_a_robust_fit_marks_exactly_its_outliers(self):
        xs, ys = arc_with_strays()
        result = tondrakit.fit_robust(xs, ys)
        ax = tondrakit.plot(result, np.column_stack([xs, ys]))
        assert legend(ax) == ["inliers", "outliers", "robust circle (geometric)"]
        out = ~result.inliers
        assert out.any()
        np.testing.assert_array_equal(markers(ax, "x"), np.column_stack([xs[out], ys[out]]))
        np.testing.assert_array_equal(markers(ax, "."), np.column_stack([xs[~out], ys[~out]]))

    def test_into_given_axes_in_image_coordinates_over_an_image(self):
        fig, (free, over) = plt.subplots(1, 2)
        xs, ys = arc_with_strays()
        circle = tondrakit.fit(xs, ys)
        assert tondrakit.plot(circle, (xs, ys), ax=free, image=True) is free
        assert free.yaxis_inverted()
        over.imshow(np.zeros((10, 10)))  # imshow has already turned y down: not turned back
        tondrakit.plot(circle, (xs, ys), ax=over, image=True)
        assert over.yaxis_inverted()

    def test_points_that_do_not_match_the_fit(self):
        xs, ys = arc_with_strays()
        result = tondrakit.fit_robust(xs, ys)
        with pytest.raises(ValueError, match="a robust fit is drawn with its points"):
            tondrakit.plot(result)
        with pytest.raises(ValueError, match="40 inlier flags for 39 points"):
            tondrakit.plot(result, (xs[1:], ys[1:]))


class TestTables:
    def test_a_panel_per_group_up_to_the_limit(self):
        data = groups(5)
        result = tondrakit.fit_groups(data, by="key", robust=True)
        panels = tondrakit.plot(result, data, max_panels=4, method="geometric")
        assert panels.shape == (4,) and len(panels[0].figure.axes) == 4
        assert [p.get_title() for p in panels] == ["0", "1", "2", "3"]
        texts = [t.get_text() for t in panels[0].figure.legends[0].get_texts()]
        assert sorted(texts) == ["inliers", "outliers", "robust circle (geometric)"]
        for g, panel in enumerate(panels):
            rows = data["key"] == g
            assert len(markers(panel, ".")) + len(markers(panel, "x")) == rows.sum()
            assert len(markers(panel, "x")) == rows.sum() - result.loc[g, "n"]

    def test_all_groups_on_one_axes(self):
        data = groups(3)
        result = tondrakit.fit_groups(data, by="key")
        fig, ax = plt.subplots()
        assert tondrakit.plot(result, data, ax=ax, single_axes=True, method="taubin") is ax
        assert len(ax.patches) == 3 and legend(ax) == ["points", "circle (taubin)"]
        assert len(markers(ax, ".")) == len(data)

    def test_a_group_without_a_circle_shows_its_points_only(self):
        data = pd.concat([groups(1), pd.DataFrame({"key": [9, 9], "x": [0.0, 1.0], "y": [5.0, 5.0]})])
        result = tondrakit.fit_groups(data, by="key", on_error="nan")
        panels = tondrakit.plot(result, data)
        assert panels[1].get_title() == "9: no circle" and not panels[1].patches

    def test_mistakes(self):
        data = groups(2)
        result = tondrakit.fit_groups(data, by="key")
        fig, ax = plt.subplots()
        with pytest.raises(ValueError, match="pass single_axes=True to draw into ax"):
            tondrakit.plot(result, data, ax=ax)
        with pytest.raises(ValueError, match="max_panels must be at least 1"):
            tondrakit.plot(result, data, max_panels=0)
        with pytest.raises(ValueError, match="which the table of fits does not have"):
            tondrakit.plot(result, data.assign(key=data["key"] + 1))
        with pytest.raises(TypeError, match="drawn with its data, a DataFrame"):
            tondrakit.plot(result, None)
        circle = tondrakit.fit([0, 1, 0], [1, 0, -1])
        for options, error, message in [
            ({"labels": ("a",)}, TypeError, r"labels must be a pair of texts .*, not \('a',\)"),
            ({"labels": "ab"}, TypeError, "labels must be a pair of texts"),
            ({"image": "yes"}, TypeError, "image must be True or False, not 'yes'"),
            ({"single_axes": 1}, TypeError, "single_axes must be True or False, not 1"),
            ({"method": 3}, TypeError, "method must be the name the fits were made with, not int"),
            ({"ax": "axes"}, TypeError, "ax must be matplotlib Axes, not str"),
        ]:
            with pytest.raises(error, match=message):
                tondrakit.plot(circle, **options)
        with pytest.raises(ValueError, match=r"no column 'east' for x in the data; its columns are: 'key', 'x', 'y'"):
            tondrakit.plot(result, data, x="east")

    def test_over_an_image_the_axes_keep_its_extent(self):
        image = np.zeros((30, 40))
        data = pd.DataFrame({"key": [1] * 3 + [2] * 3, "x": [5.0, 10.0, 15.0, 20.0, 25.0, 30.0],
                             "y": [5.0, 10.0, 5.0, 20.0, 22.5, 24.99]})
        result = tondrakit.fit_groups(data, by="key", method="taubin", on_error="nan")
        assert result.loc[2, "r"] > 1000  # nearly straight: a circle far beyond the image
        fig, ax = plt.subplots()
        ax.imshow(image, cmap="gray")
        tondrakit.plot(result, data, ax=ax, single_axes=True, image=True)
        fig.canvas.draw()
        assert ax.get_xlim() == (-0.5, 39.5) and ax.get_ylim() == (29.5, -0.5)

    def test_without_matplotlib_the_extra_is_named(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        with pytest.raises(ImportError, match=r"pip install 'tondra\[plot\]'"):
            tondrakit.plot(tondrakit.fit([0, 1, 0], [1, 0, -1]))


class TestFiles:
    @pytest.mark.parametrize("suffix, head", [
        (".png", b"\x89PNG\r\n\x1a\n"), (".pdf", b"%PDF-"), (".svg", None), (".PNG", b"\x89PNG\r\n\x1a\n"),
    ])
    def test_the_picture_is_the_format_its_suffix_names(self, tmp_path, capsys, suffix, head):
        (tmp_path / "in.csv").write_text(groups(3).to_csv(index=False))
        picture = tmp_path / f"fits{suffix}"
        assert main([str(tmp_path / "in.csv"), "--by", "key", "--robust", "--plot", str(picture)]) == 0
        assert capsys.readouterr().err == ""
        content = picture.read_bytes()
        if head is None:
            assert b"<svg" in content[:2000] and content.rstrip().endswith(b"</svg>")
        else:
            assert content.startswith(head)

    def test_more_groups_than_panels_are_said_to_be_left_out(self, tmp_path, capsys):
        (tmp_path / "in.csv").write_text(groups(18).to_csv(index=False))
        picture = tmp_path / "fits.svg"
        assert main([str(tmp_path / "in.csv"), "--by", "key", "--plot", str(picture), "-o", str(tmp_path / "c.csv")]) == 0
        assert capsys.readouterr().err == f"tondrakit: {picture} shows the first 16 of 18 groups\n"
        assert picture.read_bytes().count(b"<g id=\"axes_") == 16
