"""The cache of installed plugins: every way it can go stale, one row each."""

import json
import os
import shutil
import sys
import time
from pathlib import Path

import pytest

from corvane import installed, installed_cache, registry
from corvane.cli import main

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="the user's cache folder is placed by XDG"
)
GROUP = "corvane.plugins"
# The cache is written only when nothing it checks changed within this many
# seconds: short here, and waited for before a load that is to write it.
SETTLE = 0.05


def distribution(root: Path, name: str, plugin: bool = True) -> Path:
    info = root / f"{name}-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
    if plugin:
        (info / "entry_points.txt").write_text(f"[{GROUP}]\n{name} = {name}_module\n")
    return info


def settled() -> None:
    time.sleep(SETTLE * 1.5)


def seen(found):
    """What a reading found, the distribution's folder of each entry point too."""
    listed, unreadable = found
    return unreadable, [
        (
            item.entry_point.name,
            item.entry_point.value,
            str(item.entry_point.dist._path) if item.entry_point.dist else None,
            item.source,
            item.distribution,
        )
        for item in listed
    ]


def other_site(ctx, pth: bool = False):
    # A path entry with one more distribution, named by a .pth file of the
    # site (what the next process puts on sys.path) or given directly.
    more = ctx.tmp / "more"
    distribution(more, "cvcmore")
    if pth:
        (ctx.site / "more.pth").write_text(f"{more}\n")
    ctx.monkeypatch.syspath_prepend(str(more))


def editable(ctx):
    # pip's editable install: metadata in the site, the code where it is
    # developed, found through a .pth file.
    info = distribution(ctx.site, "cvceditable")
    (info / "direct_url.json").write_text('{"url": "file:///src", "dir_info": {"editable": true}}')
    other_site(ctx, pth=True)


def same_size_upgrade(ctx):
    # Version 1.0 becomes 1.1 in place: same inode, same size, and the
    # modification time set back, as a copy keeping times would leave it.
    metadata = ctx.site / "cvca-1.0.dist-info" / "METADATA"
    before = metadata.stat()
    text = metadata.read_text()
    with open(metadata, "r+") as stream:
        stream.write(text.replace("1.0", "1.1"))
    os.utime(metadata, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert (metadata.stat().st_size, metadata.stat().st_ino) == (before.st_size, before.st_ino)


def rewritten(ctx, name="cvcb"):
    (ctx.site / f"{name}-1.0.dist-info" / "entry_points.txt").write_text(f"[{GROUP}]\nnew = m\n")


def cache_file(ctx, change):
    [path] = (ctx.home / "corvane").glob("plugins-*")
    change(path)


def read_only_home(ctx):
    # Modes do not bind root: a home below a file cannot be written either.
    blocked = ctx.tmp / "blocked"
    blocked.write_text("")
    ctx.monkeypatch.setenv("XDG_CACHE_HOME", str(blocked / "cache"))


def another_owner(path):
    if os.geteuid() != 0:
        pytest.skip("needs root to give the file away")
    os.chown(path, os.geteuid() + 1, -1)


class Finder:
    def __repr__(self):
        return "<Finder>"

    @staticmethod
    def find_distributions(*args, **kwargs):
        return iter(())

    @staticmethod
    def find_spec(*args, **kwargs):
        return None


# What changes after the cache was written, and whether the cache file is
# written anew to be used by the next load.
ROWS = {
    "install": (lambda ctx: distribution(ctx.site, "cvcc"), True),
    "uninstall": (lambda ctx: shutil.rmtree(ctx.site / "cvcb-1.0.dist-info"), True),
    "upgrade in place, same size": (same_size_upgrade, True),
    "editable install": (editable, True),
    ".pth file added": (lambda ctx: other_site(ctx, pth=True), True),
    "PYTHONPATH changed": (other_site, True),
    "metadata rewritten": (rewritten, True),
    "entry points added": (lambda ctx: rewritten(ctx, "cvcnone"), True),
    "unreadable entry points mended": (
        lambda ctx: (ctx.site / "cvcbroken-1.0.dist-info" / "entry_points.txt").rmdir(),
        True,
    ),
    "cache truncated": (lambda ctx: cache_file(ctx, lambda p: os.truncate(p, 100)), True),
    "garbage": (lambda ctx: cache_file(ctx, lambda p: p.write_bytes(os.urandom(999))), True),
    "another format": (
        lambda ctx: cache_file(ctx, lambda p: p.write_bytes(b"corvane plugins cache 0\n")),
        True,
    ),
    "another owner": (lambda ctx: cache_file(ctx, another_owner), True),
    "writable by others": (lambda ctx: cache_file(ctx, lambda p: p.chmod(0o622)), True),
    "read-only home": (read_only_home, False),
    "finder offering distributions": (
        lambda ctx: ctx.monkeypatch.setattr(sys, "meta_path", [Finder(), *sys.meta_path]),
        False,
    ),
}


class Context:
    def __init__(self, tmp: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        self.tmp, self.monkeypatch = tmp, monkeypatch
        self.site, self.home = tmp / "site", tmp / "home"
        monkeypatch.setenv("XDG_CACHE_HOME", str(self.home))
        monkeypatch.delenv(installed_cache.CACHE_VARIABLE, raising=False)
        monkeypatch.setattr(installed_cache, "SETTLE_NS", int(SETTLE * 10**9))
        monkeypatch.setattr(installed_cache, "FEW", 0)
        monkeypatch.chdir(tmp)
        for name in ("cvca", "cvcb"):
            distribution(self.site, name)
        distribution(self.site, "cvcnone", plugin=False)
        # One whose entry points cannot be read: a folder in the file's place.
        (distribution(self.site, "cvcbroken", plugin=False) / "entry_points.txt").mkdir()
        monkeypatch.syspath_prepend(str(self.site))


def without_cache(monkeypatch):
    with monkeypatch.context() as off:
        off.setenv(installed_cache.CACHE_VARIABLE, "off")
        listed = installed.read_installed()
    assert installed_cache.last_use().note.endswith("CORVANE_PLUGINS_CACHE=off")
    return listed


@pytest.mark.parametrize("row", ROWS)
def test_a_load_after_each_change_equals_a_load_without_the_cache(tmp_path, monkeypatch, row):
    ctx = Context(tmp_path, monkeypatch)
    change, written_again = ROWS[row]
    settled()
    before = installed.read_installed()
    assert installed_cache.last_use().note == "no cache yet; written"
    assert seen(installed.read_installed()) == seen(before) and installed_cache.last_use().used
    assert {item.distribution for item in before[0]} >= {"cvca", "cvcb"}
    assert [item.distribution for item in before[1]] == ["cvcbroken"]
    change(ctx)
    with monkeypatch.context() as longer:  # all of it changed within the last ten seconds
        longer.setattr(installed_cache, "SETTLE_NS", 10 * 10**9)
        after = installed.read_installed()
    assert not installed_cache.last_use().used
    bypassed = row == "finder offering distributions"
    assert installed_cache.last_use().note.endswith(
        "offers distributions: <Finder>" if bypassed else "changed within the last seconds"
    )
    assert seen(after) == seen(without_cache(monkeypatch))
    changed = ("install", "uninstall", "upgrade", "metadata", "entry points", "unreadable")
    if row.startswith(changed):
        assert seen(after) != seen(before)
    settled()
    assert seen(installed.read_installed()) == seen(installed.read_installed()) == seen(after)
    assert installed_cache.last_use().used is written_again
    if written_again:
        modes = {path.stat().st_mode & 0o777 for path in (ctx.home / "corvane").iterdir()}
        assert (modes, (ctx.home / "corvane").stat().st_mode & 0o777) == ({0o600}, 0o700)


@pytest.mark.parametrize("argv", [["check"], ["check", "--no-cache"], ["--no-cache", "check"]])
def test_check_says_whether_the_cache_was_used(tmp_path, monkeypatch, capsys, argv):
    Context(tmp_path, monkeypatch)
    settled()
    installed.read_installed()
    saved = registry.snapshot()
    registry.reset()
    try:
        assert main([*argv, "--json"]) == 3  # the entry points name no modules
    finally:
        registry.restore(saved)
    cache = json.loads(capsys.readouterr().out)["cache"]
    off = "--no-cache" in argv
    assert (cache["used"], cache["note"]) == (
        not off,
        "the cache is off: --no-cache" if off else "",
    )


def test_a_path_of_few_distributions_is_read_without_the_cache(tmp_path, monkeypatch):
    Context(tmp_path, monkeypatch)
    settled()
    monkeypatch.setattr(installed_cache, "FEW", 10**6)
    listed = installed.read_installed()
    count = int(installed_cache.last_use().note.split()[0])
    assert count >= 4 and installed_cache.last_use().file is None
    for few, used in [(count, False), (count - 1, True)]:
        monkeypatch.setattr(installed_cache, "FEW", few)
        installed.read_installed()
        assert (
            seen(installed.read_installed()) == seen(listed)
            and installed_cache.last_use().used is used
        )
