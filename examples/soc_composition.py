# %% [markdown]
# # Composition of the lowest spin-orbit-coupled states
#
# Reads the SOC eigenvectors of a TD-DFT output with `skav_rs.parse_tddft`,
# puts them into a pandas DataFrame (one row per eigenvector element) and plots
# how much each spin-free state contributes to the lowest SOC states.
#
# Needs pandas and matplotlib (`pip install pandas matplotlib`). The cells
# (`# %%`) run one by one in Jupyter, VS Code or Spyder; as a script:
#
#     python examples/soc_composition.py [TDDFT_OUTPUT] [--lowest N] [--figure FILE]
#
# which prints the composition table and saves the figure (default
# soc_composition.png).

# %%
import argparse
import sys
from pathlib import Path

import matplotlib

if "ipykernel" not in sys.modules:
    matplotlib.use("Agg")  # as a script: write the figure to a file, no window needed
import matplotlib.pyplot as plt
import pandas as pd

import skav_rs

# %% Settings: edit them here in a notebook; a script takes them from its command line.
try:
    SAMPLE = Path(__file__).resolve().parent.parent / "samples" / "formaldehyde_tddft.out"
except NameError:  # notebooks have no __file__
    SAMPLE = Path("samples") / "formaldehyde_tddft.out"
path, lowest, figure_path = SAMPLE, 6, Path("soc_composition.png")

if __name__ == "__main__" and "ipykernel" not in sys.modules:
    parser = argparse.ArgumentParser(description="Plot the composition of the lowest SOC states.")
    parser.add_argument("output", nargs="?", type=Path, default=SAMPLE, help="TD-DFT output file")
    parser.add_argument("--lowest", type=int, default=lowest, help="number of SOC states to show")
    parser.add_argument("--figure", type=Path, default=figure_path, help="where to save the figure")
    args = parser.parse_args()
    path, lowest, figure_path = args.output, args.lowest, args.figure

# %% [markdown]
# ## One row per eigenvector element
#
# Each SOC eigenvector is a sum of spin-free states (`root`, `spin`, `ms`) with
# complex coefficients; `weight` is the squared modulus of the coefficient.

# %%
result = skav_rs.parse_tddft(str(path))  # the module takes str paths only
rows = [
    {"state": vector["n"], "energy": vector["energy"], **element}
    for vector in result["soc_matrix"]["eigenvectors"]
    for element in vector["elements"]
]
elements = pd.DataFrame(rows, columns=["state", "energy", "weight", "real", "imag", "root", "spin", "ms"])


def spin_free_label(root: int, spin: int, ms: int) -> str:
    """S3 for a singlet root, T2(-1) for a triplet root with Ms = -1."""
    if spin == 0:
        return f"S{root}"
    letter = "T" if spin == 1 else f"[2S+1={2 * spin + 1}]"
    return f"{letter}{root}({ms:+d})"


elements["spin_free"] = [spin_free_label(*key) for key in zip(elements["root"], elements["spin"], elements["ms"])]
elements.head()

# %% [markdown]
# ## Composition of the lowest states
#
# Weights of the same spin-free state are summed; states are ordered by energy.

# %%
energies = elements.groupby("state")["energy"].first().sort_values()
chosen = energies.index[:lowest]
composition = (
    elements[elements["state"].isin(chosen)]
    .pivot_table(index="state", columns="spin_free", values="weight", aggfunc="sum", fill_value=0.0)
    .reindex(chosen)
)
composition.index = [f"{n} ({energies[n]:.1f})" for n in composition.index]
composition.index.name = "SOC state (energy)"
with pd.option_context("display.width", 200, "display.max_columns", None):
    print(composition.round(3).to_string())

# %%
axes = composition.plot.barh(stacked=True, figsize=(8, 0.5 * len(composition) + 2), colormap="tab20")
axes.invert_yaxis()  # lowest state on top
axes.set_xlabel("weight")
axes.set_title(f"Composition of the {len(composition)} lowest SOC states: {path.name}")
axes.legend(title="spin-free state", bbox_to_anchor=(1.02, 1), loc="upper left")
plt.tight_layout()
plt.savefig(figure_path, dpi=120)
print(f"figure saved to {figure_path}", file=sys.stderr)
