"""Built-in connection plugins and the values they may be registered under.

The plugin manager imports this package while it initialises, so nothing here
may import the plugin manager.
"""

# The chassis type of a description that names none: the default of
# register_plugin and get_plugin, here for the package's Python side.
DEFAULT_CHASSIS_TYPE = "single_rp"

supported_chassis = [DEFAULT_CHASSIS_TYPE, "dual_rp", "stack"]

# Operating systems that have a built-in plugin package below this one.
supported_os = ["generic", "linux"]
