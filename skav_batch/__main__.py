import sys

from skav_batch.cli import command

if __name__ == "__main__":  # Dask's local workers import this module again
    sys.exit(command())
