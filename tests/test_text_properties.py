"""The texts the extension builds and its lower-case rule, against CPython's
own str operations, over generated text: quotes, backslashes, title-case
letters, Latin-1 and astral characters, lone surrogates, digits of other
scripts. CORVANE_PROPERTY_EXAMPLES sets the number of examples of each.

A built text must be a valid str: equal to the model's, flagged ASCII
exactly when all its characters are, and encodable.
"""

import os

import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import model
from corvane.core import pluginmanager
from corvane.core.errors import ConnectionInfraError

from conftest import DebugLines

EXAMPLES = int(os.environ.get("CORVANE_PROPERTY_EXAMPLES", "100"))
# Title case (U+01C5, U+01C8), Greek and German letters, dotted capital I,
# Latin-1 (e-acute, y-diaeresis, no-break space, micro), Arabic-Indic and
# Devanagari digits, superscript two, astral letters, a lone surrogate.
SPECIAL = "aAzZ09 '\"\\/%{}\n\t\u01c5\u01c8\u03a3\u03c3\xdf\u0130\xe9\xff\xa0\xb5"
SPECIAL += "\u0663\u096b\xb2\U0001d518\U0001f600\udc80"
characters = st.one_of(
    st.sampled_from("ab'\"\\ "), st.sampled_from(SPECIAL), st.characters(codec=None)
)
texts = st.text(characters, min_size=1, max_size=8)
# Texts that pass the lower-case rule, so that they reach the tree.
lower = st.builds(lambda text, at: (text[:at] + "a" + text[at:]).lower(), texts, st.integers(0, 10))
lower = lower.filter(str.islower)
# Near misses: such a text with one character that may break the rule in.
near_misses = st.builds(
    lambda text, char, at: text[:at] + char + text[at:],
    lower,
    st.sampled_from("\u01c5\u01c8A\u03a3\u0130\u0663\xb2\xaa\xb5 '"),
    st.integers(0, 8),
)

fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)


class ConnA: ...


class ConnB: ...


class Word(str):
    """Not an exact str: a leaf the renderer cannot write out by itself."""


def valid(text):
    """Asserts that `text` is a well-formed str."""
    assert type(text) is str
    assert text.isascii() == all(c.isascii() for c in text)
    assert text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass") == text


def outcome(call):
    try:
        return call()
    except ConnectionInfraError as error:
        valid(error.args[0])
        return error.args


def on_both(action):
    """`action(module)` on the extension and on the model, with the debug lines
    each logs."""
    results = []
    for module in (pluginmanager, model):
        with pytest.MonkeyPatch.context() as patch:
            recorder = DebugLines()
            patch.setattr(module, "log", recorder)
            results.append((outcome(lambda module=module: action(module)), recorder.lines))
    for line in results[0][1]:
        valid(line)
    return results


@seed(7)
@fuzz
@given(text=st.one_of(texts, near_misses), name=st.sampled_from(["model", "platform"]))
def test_lower_case_rule_is_the_hosts(text, name):
    manager = pluginmanager.PluginManager()
    if name == "model":
        result = outcome(lambda: manager.validate_model("generic", "p", text))
        message = " Model (%s) has to be in lowecase" % text  # noqa: UP031
    else:
        result = outcome(lambda: manager.validate_platform("generic", text))
        message = "platform (%s) has to be in lowercase" % text  # noqa: UP031
    assert result == (None if text.islower() or text.isdigit() else (message,))


@seed(7)
@fuzz
@given(
    os_=texts,
    platform=st.one_of(st.none(), lower),
    model_=st.one_of(st.none(), lower),
    os_flavor=st.one_of(st.none(), texts),
)
def test_override_line_is_the_models(os_, platform, model_, os_flavor):
    def register_twice(module):
        manager = module.PluginManager()
        for cls in (ConnA, ConnB):
            manager.register_plugin(cls, os_, platform, model_ if platform else None, os_flavor)

    extension, expected = on_both(register_twice)
    assert extension == expected


@seed(7)
@fuzz
@given(
    os_=st.one_of(st.just("linux"), texts),
    platform=st.one_of(st.none(), lower),
    os_flavor=st.one_of(st.none(), texts),
    chassis_type=texts,
)
def test_not_found_message_is_the_models(os_, platform, os_flavor, chassis_type):
    def look_up(module):
        chassis = chassis_type if os_ == "linux" else "single_rp"
        return module.PluginManager().get_plugin(os_, platform, None, os_flavor, chassis)

    extension, expected = on_both(look_up)
    assert extension == expected


def node(entries):
    """A node whose keys are exact strs or, where marked, Words."""
    return {Word(key) if word else key: value for (key, word), value in entries.items()}


# Leaves the renderer writes out itself and others (7, a Word) that make it
# change its way of writing in the middle of a tree.
leaves = st.one_of(texts, st.sampled_from([ConnA, ConnB, "", None, 7]), st.builds(Word, texts))
trees = st.recursive(
    leaves,
    lambda children: st.dictionaries(st.tuples(texts, st.booleans()), children, max_size=3).map(
        node
    ),
    max_leaves=8,
)


@seed(7)
@fuzz
@given(tree=st.dictionaries(texts, trees, max_size=3), output=st.one_of(st.none(), texts))
def test_rendering_is_the_models(tree, output):
    def render(module):
        manager = module.PluginManager()
        if output is None:
            return manager.print_tree(tree)
        return manager.print_tree(tree, output)

    (text, _), (expected, _) = on_both(render)
    assert text == expected
    valid(text)
