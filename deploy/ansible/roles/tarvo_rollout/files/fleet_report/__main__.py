"""python3 -m fleet_report finish RUN_DIR: merges a run's report by hand
(a run killed outright never merged its own) and prints its totals."""
import sys

from . import storage


def main(argv):
    if len(argv) != 3 or argv[1] != "finish":
        sys.stderr.write(__doc__)
        return 1
    for line in storage.finish(argv[2]):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
