#!/usr/bin/python3
"""Draws a run's photo layer over the GPS track it was geotagged from, into a PNG.

    docs/plot_layer.py --track day.gpx [--track more.gpx] fotos.gpkg layer.png

Both are read through ogr2ogr (Debian's gdal-bin) as CSV, so any layer format the run writes
works; the plot uses Debian's python3-matplotlib, hence the system interpreter above.
"""
import argparse
import csv
import io
import math
import subprocess

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def read_csv(source, layer=None, fields=None):
    """The rows of one vector layer, with its point geometry in X (longitude) and Y (latitude)."""
    command = ["ogr2ogr", "-f", "CSV", "/vsistdout/", source, "-lco", "GEOMETRY=AS_XY"]
    if fields:
        command += ["-select", ",".join(fields)]
    if layer:
        command.append(layer)
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return list(csv.DictReader(io.StringIO(output)))


def track_lines(path):
    """One list of (lon, lat) per track segment, in file order."""
    lines = {}
    for row in read_csv(path, "track_points", ["track_fid", "track_seg_id", "time"]):
        key = (row["track_fid"], row["track_seg_id"])
        lines.setdefault(key, []).append((float(row["X"]), float(row["Y"])))
    return list(lines.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--track", action="append", default=[], help="GPX track (repeatable)")
    parser.add_argument("--title", default="Fotos del lote sobre el track")
    parser.add_argument("layer", help="layer written by the run (.gpkg, .geojson, .kml, ...)")
    parser.add_argument("output", help="PNG to write")
    args = parser.parse_args()

    figure, axes = plt.subplots(figsize=(8, 6), dpi=100)
    first = True
    for path in args.track:
        for line in track_lines(path):
            xs, ys = zip(*line)
            axes.plot(xs, ys, color="#3b6ea8", linewidth=1.5, label="track" if first else None)
            first = False

    # A photo left without a position has no geometry, and one at the fixed fallback position
    # (--posicion-fija) is not where it was taken and would stretch the map far off the track:
    # both are only counted in the legend.
    photos = read_csv(args.layer)
    unplaced = [p for p in photos if not p["X"]]
    fixed = [p for p in photos if p["X"] and p["fuente"] == "fija"]
    photos = [p for p in photos if p["X"] and p["fuente"] != "fija"]
    if unplaced:
        axes.plot([], [], " ", label=f"{len(unplaced)} foto(s) sin posición, sin tocar")
    if fixed:
        axes.plot([], [], " ", label=f"{len(fixed)} foto(s) en la posición fija, fuera del mapa")
    colours = {"exif": "#2e8b57", "track": "#d2452c", "txt": "#8a4fbf", "fija": "#777777"}
    for source in sorted({p["fuente"] for p in photos}):
        chosen = [p for p in photos if p["fuente"] == source]
        axes.scatter([float(p["X"]) for p in chosen], [float(p["Y"]) for p in chosen], s=40,
                     zorder=3, color=colours.get(source, "black"), edgecolor="white",
                     label=f"fotos ({source})")
    for p in photos:
        axes.annotate(p["archivo_final"], (float(p["X"]), float(p["Y"])), fontsize=7,
                      xytext=(4, 4), textcoords="offset points")

    # Metres east and north on the same scale at the layer's latitude.
    latitudes = [float(p["Y"]) for p in photos] or [0.0]
    axes.set_aspect(1.0 / max(math.cos(math.radians(sum(latitudes) / len(latitudes))), 0.01))
    axes.set_xlabel("longitud")
    axes.set_ylabel("latitud")
    axes.set_title(args.title)
    axes.ticklabel_format(useOffset=False)
    axes.grid(True, linewidth=0.3)
    axes.legend(loc="lower right", fontsize=8)
    figure.tight_layout()
    figure.savefig(args.output)


if __name__ == "__main__":
    main()
