"""The plugin's own test: it loads the plugin into an empty registry and looks up its class.

``corvane_registry`` comes with corvane (a pytest plugin): the shared manager
with an empty tree for this test, and its own tree back afterwards.
"""

from corvane.testing import load_plugin


def test_acmeos_devices_get_the_acme_connection(corvane_registry):
    rows = load_plugin("acmeos")  # the entry point's name, as pyproject.toml declares it
    assert [(row.key_path, row.chassis_type) for row in rows] == [(("acmeos",), "single_rp")]
    assert rows[0].source.distribution == "corvane-example-plugin"
    # Imported after load_plugin, which ran the module afresh: the class it registered.
    from corvane_example_plugin import AcmeConnection

    assert rows[0].cls is AcmeConnection
    assert corvane_registry.get_plugin(os="acmeos", platform="edge", model="x1") is AcmeConnection
    assert list(corvane_registry.plugins) == ["acmeos"]  # nothing else was loaded
