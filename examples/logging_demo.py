"""Coloured logging with orvel.scribo: one Logger writing to the console and to a file, with
per-message colours, and the standard logging package bridged into it.

    python examples/logging_demo.py [log file]      (default: logging_demo.log)
"""

import logging
import sys

from orvel.scribo import ColorScheme, ConsoleHandler, DefaultLogger, FileHandler, Level, Logger

RED, GREEN, YELLOW, ORANGE = 31, 32, 33, 208  # SGR codes, or any other value up to 255 as a palette index
BOLD, UNDERLINE = 1, 4
PATTERN = "[%H:%M:%S.%e] [%n] [%^%l%$] %s:%# %v"


def place_order(log: Logger, symbol: str, quantity: int) -> None:
    log.info(f"order {symbol} x{quantity} accepted", GREEN)
    if quantity > 100:
        log.warn(f"order {symbol} x{quantity} is large", YELLOW, effect=UNDERLINE)


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "logging_demo.log"
    log = Logger(
        "demo",
        Level.DEBUG,
        handlers=[
            ConsoleHandler(pattern=PATTERN),  # info and below on stdout, warn and above on stderr
            FileHandler(path, pattern=PATTERN, overwrite=True),  # the same messages, without colours
        ],
        color_scheme=ColorScheme(info_color=ORANGE),
        set_default=True,  # the default logger: DefaultLogger and the standard package write here
    )

    log.debug("starting")
    place_order(log, "ACME", 10)
    place_order(log, "INITECH", 500)
    log.error("connection lost", RED, effect=BOLD)
    log.critical("giving up", 15, bg_color=RED)

    # Anywhere else in the program: the default logger, without passing `log` around.
    DefaultLogger().info("written through DefaultLogger", 39)

    # Code that uses the standard package is routed into the same sinks.
    logging.getLogger("legacy").warning("disk usage at %d%%", 91)
    try:
        {"present": 1}["missing"]
    except KeyError:
        logging.getLogger("legacy").exception("lookup failed")

    print(f"(the same messages, without colours, are in {path})")


if __name__ == "__main__":
    main()
