"""Nanoseconds per call of the native plugin manager against a plain-Python one.

Run with ``make bench``. The pure-Python manager below is the straightforward
implementation of the same operations: plain methods with defaults, the same
validation order and messages, the same registry walk.
"""

import argparse
import os
import platform
import subprocess
import sys
import timeit
import warnings

warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

from inspect import getfile  # noqa: E402

from telvar import log  # noqa: E402
from telvar.core.errors import ConnectionInfraError  # noqa: E402
from telvar.core.pluginmanager import PluginManager  # noqa: E402
from telvar.plugins import supported_chassis, supported_os  # noqa: E402


class PurePluginManager:
    def __init__(self):
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    @property
    def plugins(self):
        return self._plugins

    def validate_model(self, os, platform, model):
        if not model:
            return None
        if not platform or not os:
            raise ConnectionInfraError("OS and platform are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower() or model.isdigit():
            return None
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % model)

    def validate_platform(self, os, platform):
        if not platform:
            return None
        if os is None:
            raise ConnectionInfraError("OS information not provided for platform: " + str(platform))
        if not isinstance(platform, str):
            raise ConnectionInfraError("platform should be of type str")
        if platform.islower() or platform.isdigit():
            return None
        raise ConnectionInfraError("platform (%s) has to be in lowercase" % platform)

    def validate_os(self, os):
        if os and os not in self.supported_os:
            log.debug("%s is not part of the built-in list of supported OSes." % os)
            return None
        if os:
            return None
        raise ConnectionInfraError(
            "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
        )

    def validate_chassis_type(self, chassis_type):
        if chassis_type and chassis_type in self.chassis_type_list:
            return None
        raise ConnectionInfraError(
            "chassis Type should be one of these "
            + str(self.chassis_type_list)
            + ", but got "
            + str(chassis_type)
        )

    def validate_arguments(self, os, platform, model, chassis_type):
        self.validate_model(os=os, platform=platform, model=model)
        self.validate_platform(platform=platform, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return None
        self.validate_chassis_type(chassis_type=chassis_type)

    @staticmethod
    def _hierarchy(os, platform, model, os_flavor):
        if model is not None:
            tree_hierarchy = [os, platform, model]
        elif platform is not None:
            tree_hierarchy = [os, platform]
        else:
            tree_hierarchy = [os]
        if os_flavor is not None:
            tree_hierarchy.append(os_flavor)
        return tree_hierarchy

    def get_plugin(
        self, os=None, platform=None, model=None, os_flavor=None, chassis_type="single_rp"
    ):
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = self._hierarchy(os, platform, model, os_flavor)
        cur_node = self._plugins
        for element in tree_hierarchy:
            if element in cur_node.keys():
                cur_node = cur_node[element]
        if "data" in cur_node and chassis_type in cur_node["data"]:
            return cur_node["data"][chassis_type]["cls"]
        raise ConnectionInfraError(
            "Plugin data not found for ("
            + "/".join(tree_hierarchy)
            + "), type: "
            + str(chassis_type)
            + " "
        )

    def unregister_plugin(
        self, os=None, platform=None, model=None, os_flavor=None, chassis_type=None
    ):
        self.validate_arguments(os, platform, model, "single_rp")
        cur_node = self._plugins
        for element in self._hierarchy(os, platform, model, os_flavor):
            if element not in cur_node.keys():
                raise ConnectionInfraError("Plugin data not found")
            cur_node = cur_node[element]
        if "data" not in cur_node:
            raise ConnectionInfraError("Plugin data not found")
        if chassis_type is None:
            del cur_node["data"]
            return
        data = cur_node["data"]
        if chassis_type not in data:
            raise ConnectionInfraError("Plugin data not found for %s" % chassis_type)
        del data[chassis_type]

    def register_plugin(
        self, cls, os=None, platform=None, model=None, os_flavor=None, chassis_type="single_rp"
    ):
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = self._hierarchy(os, platform, model, os_flavor)
        cur_node = self._plugins
        for element in tree_hierarchy:
            if element not in cur_node.keys():
                cur_node[element] = {}
            cur_node = cur_node[element]
        class_path = getfile(cls)
        if "data" in cur_node:
            data = cur_node["data"]
            if chassis_type in data:
                existing_cls = data[chassis_type]["cls"]
                log.debug(
                    f" {existing_cls.__name__} already registered for {tree_hierarchy}, "
                    f"{cls.__name__} from {cls.__module__} is overriding this class"
                )
            data[chassis_type] = {"cls": cls, "path": class_path}
            cur_node["data"] = data
        else:
            cur_node["data"] = {chassis_type: {"cls": cls, "path": class_path}}

    def print_tree(self, data, output="plugin"):
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        sorted_keys = sorted(data.keys())
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    output += "\n  |" + line
                else:
                    output += "\n" + separator + line
                current_line += 1
        return output

    def __repr__(self):
        summary = "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
        return self.print_tree(data=self._plugins, output=summary)


class Conn:
    """A connection class to register."""


class OtherConn:
    """Another connection class to register."""


def filled(manager_class, records):
    manager = manager_class()
    count = 0
    for os_name in ("alpha", "beta"):
        for p in range(50):
            for m in range(records // 100):
                manager.register_plugin(Conn, os=os_name, platform=f"p{p}", model=f"m{m}")
                count += 1
    return manager


def per_call_ns(native, pure, number, repeat=7):
    """Best time per call of each, measured alternately so both see the same machine."""
    native_timer, pure_timer = timeit.Timer(native), timeit.Timer(pure)
    native_best = pure_best = float("inf")
    for _ in range(repeat):
        native_best = min(native_best, native_timer.timeit(number))
        pure_best = min(pure_best, pure_timer.timeit(number))
    return native_best / number * 1e9, pure_best / number * 1e9


def operations(manager_class, quick):
    hit = manager_class()
    hit.register_plugin(Conn, os="alpha", platform="plat1", model="m1", os_flavor="flav")
    big = filled(manager_class, 10_000)
    replace = manager_class()
    replace.register_plugin(Conn, os="alpha", platform="plat1")
    cycle = manager_class()
    cycle.register_plugin(Conn, os="alpha", platform="plat1")
    scale = 10 if quick else 1

    def get_hit():
        hit.get_plugin("alpha", "plat1", "m1", "flav")

    def get_miss():
        try:
            hit.get_plugin("beta", "plat9")
        except ConnectionInfraError:
            pass

    def validate():
        hit.validate_arguments("alpha", "plat1", "m1", "single_rp")

    def register_replace():
        replace.register_plugin(Conn, "alpha", "plat1")

    def unregister_register():
        cycle.unregister_plugin("alpha", "plat1", chassis_type="single_rp")
        cycle.register_plugin(OtherConn, "alpha", "plat1")

    def render():
        big.print_tree(big.plugins)

    def representation():
        repr(big)

    return [
        ("get_plugin, four-level hit", get_hit, 200_000 // scale),
        ("get_plugin, not found", get_miss, 100_000 // scale),
        ("validate_arguments", validate, 200_000 // scale),
        ("register_plugin, replacing", register_replace, 50_000 // scale),
        ("unregister_plugin + register_plugin", unregister_register, 50_000 // scale),
        ("print_tree, 10 000 records", render, max(2, 20 // scale)),
        ("repr, 10 000 records", representation, max(2, 20 // scale)),
    ]


IMPORT_PROBE = """
import time, warnings
warnings.filterwarnings("ignore")
import pkg_resources, os, pkgutil, importlib, inspect
import telvar, telvar.plugins, telvar.core.errors
start = time.perf_counter_ns()
import telvar.core.pluginmanager
print(time.perf_counter_ns() - start)
"""


def import_time_ns(runs):
    samples = []
    for _ in range(runs):
        out = subprocess.run(
            [sys.executable, "-c", IMPORT_PROBE], capture_output=True, text=True, check=True
        )
        samples.append(int(out.stdout.strip()))
    return min(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations (a smoke run)")
    args = parser.parse_args()

    native_ops = operations(PluginManager, args.quick)
    pure_ops = operations(PurePluginManager, args.quick)
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cores")
    print(f"{'operation':40} {'native ns':>12} {'Python ns':>12} {'ratio':>7}")
    for (label, native, number), (_, pure, _) in zip(native_ops, pure_ops, strict=True):
        native_ns, pure_ns = per_call_ns(native, pure, number)
        print(f"{label:40} {native_ns:12.0f} {pure_ns:12.0f} {pure_ns / native_ns:6.1f}x")
    ns = import_time_ns(3 if args.quick else 15)
    print(f"{'module import beyond pkg_resources':40} {ns:12.0f}")


if __name__ == "__main__":
    main()
