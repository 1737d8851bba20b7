"""Connection plugins that ship with telvar.

Every module below this package is imported by
``PluginManager.discover_builtin_plugins()``; modules named ``tests`` (or
ending in ``tests``) and everything inside a ``tests`` package are skipped.
"""

# Operating systems whose plugins ship with telvar. Others may still be
# registered: validation only notes them in the debug log.
supported_os = ["alpha", "beta", "linux"]

# Chassis types a plugin can be registered for ("linux" plugins are exempt).
supported_chassis = ["single_rp", "dual_rp", "stack"]
