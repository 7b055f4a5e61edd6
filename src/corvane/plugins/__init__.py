"""Built-in connection plugins and the values they may be registered under.

The plugin manager imports this package while it initialises, so nothing here
may import the plugin manager.
"""

supported_chassis = ["single_rp", "dual_rp", "stack"]

# Operating systems that have a built-in plugin package below this one.
supported_os = ["generic", "linux"]
