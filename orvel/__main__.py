"""python -m orvel --includedir | --cmakedir: the directories a build system needs."""

import argparse

from orvel import get_cmake_dir, get_include


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m orvel", description=__doc__)
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--includedir", action="store_true", help="print orvel.get_include()")
    group.add_argument("--cmakedir", action="store_true", help="print orvel.get_cmake_dir(), for orvel_DIR")
    args = parser.parse_args(argv)
    print(get_include() if args.includedir else get_cmake_dir())


if __name__ == "__main__":
    main()
