"""Built-in plugin for devices of the operating system "generic".

These are the package's reference plugins: they show how a plugin package
registers its connection classes, and they serve every generic device whose
platform or model has no plugin of its own. They do no device I/O.
"""

from corvane.registry import plugin_manager


class GenericConnection:
    """Reference plugin: the connection class of a generic single_rp device.

    No device I/O is expected of it; it stands where a real connection class
    would open a session to the device.
    """

    os = "generic"
    chassis_type = "single_rp"


class GenericDualRpConnection(GenericConnection):
    """Reference plugin: the connection class of a generic dual_rp device.

    No device I/O is expected of it.
    """

    chassis_type = "dual_rp"


plugin_manager.register_plugin(GenericConnection, os="generic")
plugin_manager.register_plugin(GenericDualRpConnection, os="generic", chassis_type="dual_rp")
