"""The connection framework's core: the plugin manager and its errors."""
