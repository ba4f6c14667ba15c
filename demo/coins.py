"""The coins of scikit-image's sample image `coins`, found by their edges and fitted one circle each.

The image is split into one region per coin (a watershed of the gradient between pixels that
are surely background and surely coin, the regions' holes filled), each region is widened by a
few pixels so that it holds its coin's rim, and every edge pixel that Canny's detector finds
inside a region becomes a point of that coin's group: the rim, and the edges of the relief
inside it. tondrakit.fit_groups fits every coin at once, plainly (the relief pulls the circle
inwards) and robustly with a threshold of 1.5 pixels (the relief's edges become outliers), and
tondrakit.plot draws both over the image.

    python demo/coins.py [--out PATH]

Needs scikit-image and matplotlib (requirements/demo.txt).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

import tondrakit

# Edge pixels lie within about a pixel of the rim they trace: farther than this, a pixel is
# taken for the relief.
THRESHOLD = 1.5
# Canny's smoothing, in pixels: enough to lose the coins' grain, not their rims.
SIGMA = 2.5
# Regions grow by this many pixels so that each holds its coin's whole rim.
WIDEN = 3


def edge_points(image: np.ndarray) -> pd.DataFrame:
    """One row per edge pixel inside a coin: the coin's label, and the pixel's column (x) and
    row (y), so that the y axis points down the image."""
    from scipy import ndimage
    from skimage import feature, filters, measure, segmentation

    markers = np.zeros(image.shape, dtype=np.int32)
    markers[image < 30] = 1   # surely background
    markers[image > 150] = 2  # surely coin
    regions = segmentation.watershed(filters.sobel(image), markers)
    coins = measure.label(ndimage.binary_fill_holes(regions == 2))
    coins = segmentation.expand_labels(coins, WIDEN)
    rows, columns = np.nonzero(feature.canny(image, sigma=SIGMA))
    coin = coins[rows, columns]
    inside = coin > 0
    return pd.DataFrame({"coin": coin[inside], "x": columns[inside].astype(np.float64),
                         "y": rows[inside].astype(np.float64)})


def main(out: str) -> int:
    from skimage import data

    image = data.coins()
    fit_groups = tondrakit.fit_groups  # loaded here, so that the time is the fits' alone
    started = time.perf_counter()
    points = edge_points(image)
    found = time.perf_counter()
    plain = fit_groups(points, by="coin")
    fitted = time.perf_counter()
    robust = fit_groups(points, by="coin", robust=True, threshold=THRESHOLD)
    done = time.perf_counter()

    print(f"{len(robust)} coins, {len(points)} edge pixels in {image.shape[1]}x{image.shape[0]}"
          f" pixels: found in {(found - started) * 1e3:.0f} ms, fitted in"
          f" {(fitted - found) * 1e3:.1f} ms (plain) and {(done - fitted) * 1e3:.1f} ms (robust)")
    table = pd.DataFrame({
        "r plain": plain["r"], "rms plain": plain["rms"],
        "r robust": robust["r"], "rms robust": robust["rms"],
        "inliers": robust["n"].astype(str) + " of " + points.groupby("coin").size().astype(str),
    })
    print(table.head(6).round(2).to_string())
    print(f"median rms: {plain['rms'].median():.2f} px plain, {robust['rms'].median():.2f} px robust")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 5), layout="constrained")
    for ax, result, title in ((axes[0], plain, "fit_groups"),
                              (axes[1], robust, f"fit_groups, robust (threshold {THRESHOLD} px)")):
        ax.imshow(image, cmap="gray")
        tondrakit.plot(result, points, by="coin", ax=ax, single_axes=True, image=True, method="geometric")
        ax.set_title(title)
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=100)
    plt.close(fig)
    print(f"picture: {out}")
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out", "coins.png"))
    sys.exit(main(parser.parse_args().out))
