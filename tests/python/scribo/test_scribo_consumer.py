"""examples/scribo_consumer: an extension module built against the installed orvel (by
scripts/setup) that cimports Logger, DefaultLogger and the C-level functions, exactly as a user's
module would."""


def test_consumer_logs_through_the_native_interface(run_child):
    child = run_child("""\
import scribo_consumer as consumer
from orvel.scribo import *
print(consumer.spdlog_registry_name(b""), consumer.spdlog_registry_name(b"nobody"))
log = Logger("app", handlers=[StdoutHandler(pattern="%l|%n|%v", max_level=Level.OFF)], set_default=True)
print(consumer.handle_name(log), consumer.registry_name(), consumer.registry_name("app"), consumer.default_is(log))
consumer.info(log, "through the table", 31)
consumer.warn_default(DefaultLogger(), "default through the table")
class Overriding(Logger):
    def info(self, *args):
        print("override", args)
consumer.info(Overriding("sub"), "x", 2)
error, kept = consumer.get_logger_keeps_output_on_failure(log, None)
print(type(error).__name__, kept)
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        " None",  # spdlog's own default logger has the empty name; no logger is registered as "nobody"
        "app app app True",
        "info|app|\x1b[31mthrough the table\x1b[0m",
        "warning|app|default through the table",
        "override ('x', 2, -1, -1)",
        "AttributeError True",
    ]
