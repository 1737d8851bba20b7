"""The plugin manager in plain Python: every operation written out step by step.

The tests check the native manager against it (results, exceptions, debug records and the
calls made on nodes, keys and the manager itself), and the benchmarks time it as the
straightforward implementation. It may be subclassed with the same hooks as the native class.
The debug records go through the module attribute ``log``, which tests may replace.
"""

from inspect import getfile

from telvar import log
from telvar.core.errors import ConnectionInfraError
from telvar.plugins import supported_chassis, supported_os

RESERVED = "data"  # the key of a node's data map; never a path element


def reserved(element):
    """Whether a path element names the data map: a str by its text, anything else by its
    equality."""
    return (
        str.__eq__(element, RESERVED) is True if isinstance(element, str) else element == RESERVED
    )


def hierarchy(os, platform, model, os_flavor):
    """[os], [os, platform] or [os, platform, model] (model decides first), then os_flavor."""
    if model is not None:
        tree_hierarchy = [os, platform, model]
    elif platform is not None:
        tree_hierarchy = [os, platform]
    else:
        tree_hierarchy = [os]
    if os_flavor is not None:
        tree_hierarchy.append(os_flavor)
    return tree_hierarchy


class ReferenceManager:
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

    def get_plugin(
        self, os=None, platform=None, model=None, os_flavor=None, chassis_type="single_rp"
    ):
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = hierarchy(os, platform, model, os_flavor)
        cur_node = self._plugins
        for element in tree_hierarchy:  # a missing level is skipped
            if reserved(element):  # the data map is not a level
                continue
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
        for element in hierarchy(os, platform, model, os_flavor):
            if reserved(element) or element not in cur_node.keys():
                raise ConnectionInfraError("Plugin data not found")
            cur_node = cur_node[element]
        if chassis_type is None:
            if "data" not in cur_node:
                raise ConnectionInfraError("Plugin data not found")
            del cur_node["data"]
            return
        if "data" not in cur_node:
            raise ConnectionInfraError("Plugin data not found")
        data = cur_node["data"]
        if chassis_type not in data:
            raise ConnectionInfraError("Plugin data not found for %s" % chassis_type)
        del data[chassis_type]

    def register_plugin(
        self, cls, os=None, platform=None, model=None, os_flavor=None, chassis_type="single_rp"
    ):
        """A failed registration changes nothing, and the tree it changes is the one after its
        own Python code: "data" is refused, every element hashed (as the walk's membership
        test hashes it), getfile called and what is added below the node where the walk ends
        built before the tree is read; then the existing part of the path is walked, and one
        store attaches the change. Where Python code filed the missing level itself
        meanwhile, the walk goes on from it."""
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = hierarchy(os, platform, model, os_flavor)
        if any(reserved(element) for element in tree_hierarchy):
            raise ConnectionInfraError(
                "'data' is reserved and cannot be used as a plugin path element"
            )
        for element in tree_hierarchy:
            element in {}  # noqa: B015, RUF060 - an unhashable element fails before the walk
        class_path = getfile(cls)
        record = {"cls": cls, "path": class_path}
        # levels[depth] is filed under tree_hierarchy[depth], or "data" below the last element.
        levels = [{chassis_type: record}]
        for element in reversed([*tree_hierarchy[1:], RESERVED]):
            levels.insert(0, {element: levels[0]})
        cur_node = self._plugins
        depth = 0
        while True:
            for element in tree_hierarchy[depth:]:
                if element not in cur_node.keys():
                    break
                cur_node = cur_node[element]
                depth += 1
            if depth == len(tree_hierarchy):
                break
            if type(cur_node) is not dict:
                cur_node[tree_hierarchy[depth]] = levels[depth]
                return
            existing = cur_node.setdefault(tree_hierarchy[depth], levels[depth])
            if existing is levels[depth]:
                return
            cur_node = existing
            depth += 1
        if "data" in cur_node:
            data = cur_node["data"]
            if chassis_type in data:
                existing_cls = data[chassis_type]["cls"]
                log.debug(
                    f" {existing_cls.__name__} already registered for {tree_hierarchy}, "
                    f"{cls.__name__} from {cls.__module__} is overriding this class"
                )
            data[chassis_type] = record
            cur_node["data"] = data
            return
        cur_node["data"] = levels[depth]

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
                    piece = "\n  |" + line
                else:
                    piece = "\n" + separator + line
                output = output + piece
                current_line += 1
        return output

    def __repr__(self):
        summary = "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
        return self.print_tree(data=self._plugins, output=summary)
