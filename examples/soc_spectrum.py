# %% [markdown]
# # SOC-corrected absorption spectra and spin-orbit couplings of a folder of outputs
#
# Reads every TD-DFT output under a folder with `skav_batch.read_tables`, draws
# each file's SOC-corrected absorption spectrum (electric dipole), broadened by
# Gaussians, over its sticks, and beside it the couplings |<T|HSO|S>| between
# the lowest triplets and singlets of the first file that has them.
#
# Needs the batch extra and matplotlib (`pip install '.[batch]' matplotlib`).
# The cells (`# %%`) run one by one in Jupyter, VS Code or Spyder; as a script:
#
#     python examples/soc_spectrum.py [FOLDER] [--width EV] [--lowest N] [--figure FILE]
#
# which prints each file's strongest transition and saves the figure (default
# soc_spectrum.png).

# %%
import argparse
import math
import sys
from pathlib import Path

import matplotlib

if "ipykernel" not in sys.modules:
    matplotlib.use("Agg")  # as a script: write the figure to a file, no window needed
import matplotlib.pyplot as plt
import numpy as np

from skav_batch import read_tables

# %% Settings: edit them here in a notebook; a script takes them from its command line.
try:
    SAMPLES = Path(__file__).resolve().parent.parent / "samples"
except NameError:  # notebooks have no __file__
    SAMPLES = Path("samples")
folder, width, lowest, figure_path = SAMPLES, 0.3, 4, Path("soc_spectrum.png")

if __name__ == "__main__" and "ipykernel" not in sys.modules:
    parser = argparse.ArgumentParser(description="Plot SOC-corrected absorption spectra and couplings.")
    parser.add_argument("folder", nargs="?", type=Path, default=folder, help="folder of outputs (searched below)")
    parser.add_argument("--width", type=float, default=width, help="full width at half maximum of each band, in eV")
    parser.add_argument("--lowest", type=int, default=lowest, help="triplets and singlets (S0 included) shown in the heatmap")
    parser.add_argument("--figure", type=Path, default=figure_path, help="where to save the figure")
    args = parser.parse_args()
    folder, width, lowest, figure_path = args.folder, args.width, args.lowest, args.figure

# %% [markdown]
# ## The two tables
#
# `soc_transitions` holds a row per transition and spectrum kind; the energy in
# eV is given by the later release only, so it is taken from cm-1 here.
# `soc_couplings` holds a row per triplet and singlet (0 is the ground state).

# %%
tables = read_tables([folder])
transitions = [row for row in tables["soc_transitions"].to_pylist() if row["kind"] == "absorption-electric"]
couplings = tables["soc_couplings"].to_pylist()
CM1_PER_EV = 8065.544

spectra: dict[str, list[tuple[float, float]]] = {}
for row in transitions:
    spectra.setdefault(row["file"], []).append((row["energy_cm1"] / CM1_PER_EV, row["strength"]))
for file, sticks in spectra.items():
    energy, strength = max(sticks, key=lambda stick: stick[1])
    print(f"{Path(file).name}: {len(sticks)} transitions, strongest at {energy:.3f} eV (f = {strength:.3g})")

# %% [markdown]
# ## Spectra and couplings

# %%
figure, (spectrum_axes, coupling_axes) = plt.subplots(1, 2, figsize=(12, 4.5), width_ratios=[3, 2])
sigma = width / (2 * math.sqrt(2 * math.log(2)))
energies = [energy for sticks in spectra.values() for energy, _ in sticks] or [0.0, 1.0]
grid = np.linspace(min(energies) - 3 * width, max(energies) + 3 * width, 2000)
for file, sticks in spectra.items():
    broadened = sum(strength * np.exp(-((grid - energy) ** 2) / (2 * sigma**2)) for energy, strength in sticks)
    line, = spectrum_axes.plot(grid, broadened, label=Path(file).name)
    spectrum_axes.vlines([e for e, _ in sticks], 0, [f for _, f in sticks], colors=line.get_color(), alpha=0.5)
spectrum_axes.set_xlabel("energy (eV)")
spectrum_axes.set_ylabel("oscillator strength")
spectrum_axes.set_title(f"SOC-corrected absorption, FWHM {width} eV")
if spectra:
    spectrum_axes.legend(fontsize="small")

first = min((row["file"] for row in couplings), default=None)
shown = [row for row in couplings if row["file"] == first and row["triplet"] <= lowest and row["singlet"] < lowest]
triplets, singlets = max((row["triplet"] for row in shown), default=0), max((row["singlet"] + 1 for row in shown), default=0)
matrix = np.zeros((triplets, singlets))
for row in shown:
    parts = [row[f"{axis}_{part}"] for axis in "zxy" for part in ("real", "imag")]
    matrix[row["triplet"] - 1, row["singlet"]] = math.sqrt(sum(part * part for part in parts))
image = coupling_axes.imshow(matrix, cmap="viridis", aspect="auto")
coupling_axes.set_xticks(range(singlets), [f"S{s}" for s in range(singlets)])
coupling_axes.set_yticks(range(triplets), [f"T{t}" for t in range(1, triplets + 1)])
coupling_axes.set_title(f"|<T|HSO|S>| (cm-1): {Path(first).name if first else 'no couplings'}")
figure.colorbar(image, ax=coupling_axes)
plt.tight_layout()
plt.savefig(figure_path, dpi=120)
print(f"figure saved to {figure_path}", file=sys.stderr)
