"""Built-in plugin for Linux hosts.

Chassis types do not apply to Linux hosts: the plugin manager does not
validate the chassis type for "linux", and this plugin registers under the
default one only.
"""

from corvane.registry import plugin_manager


class LinuxConnection:
    """Reference plugin: the connection class of a Linux host.

    No device I/O is expected of it; it stands where a real connection class
    would open a shell on the host.
    """

    os = "linux"


plugin_manager.register_plugin(LinuxConnection, os="linux")
