"""Command line: show the plugin registry, or which plugin serves a device.

python -m telvar                          # the registry as a tree
python -m telvar --os alpha --platform edge
python -m telvar --debug --os gamma       # with telvar's debug log
"""

import argparse
import inspect
import logging
import sys
import warnings

from telvar import log
from telvar.core.errors import ConnectionInfraError

with warnings.catch_warnings():
    # The manager reads entry points through pkg_resources, which warns about
    # its own deprecation on import: not something a command-line user can act on.
    warnings.filterwarnings("ignore", "pkg_resources is deprecated", UserWarning)
    from telvar.manager import PluginManager, plugin_manager

DEVICE_OPTIONS = ("os", "platform", "model", "os_flavor", "chassis_type")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m telvar",
        description=(
            "Load telvar's built-in connection plugins and those of installed "
            "distributions (entry-point group 'telvar.plugins'). Without device "
            "options, print the plugin registry as a tree; with them, print the "
            "connection class that serves that device and its source file."
        ),
    )
    device = parser.add_argument_group("device")
    device.add_argument("--os", help="operating system, e.g. alpha")
    device.add_argument("--platform", help="platform (lower case)")
    device.add_argument("--model", help="model (lower case or digits; needs --platform)")
    device.add_argument("--os-flavor", help="OS flavour")
    device.add_argument(
        "--chassis-type",
        help="single_rp (default), dual_rp or stack",
    )
    parser.add_argument("--debug", action="store_true", help="write telvar's debug log to stderr")
    return parser


def enable_debug_log():
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.DEBUG)


def describe(cls):
    """Dotted name and source file of a connection class."""
    return f"{cls.__module__}.{cls.__qualname__}", inspect.getfile(cls)


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.debug:
        enable_debug_log()

    PluginManager.discover_builtin_plugins()
    PluginManager.discover_external_plugins()

    device = {name: getattr(args, name) for name in DEVICE_OPTIONS}
    if not any(value is not None for value in device.values()):
        print(repr(plugin_manager) or "No connection plugins are registered.")
        return 0

    if device["chassis_type"] is None:
        del device["chassis_type"]  # the manager's default, single_rp
    try:
        cls = plugin_manager.get_plugin(**device)
    except ConnectionInfraError as exc:
        print(f"telvar: {exc}", file=sys.stderr)
        return 1
    name, path = describe(cls)
    print(name)
    print(f"  from {path}")
    return 0
