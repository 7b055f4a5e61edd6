"""The extension and the pure-Python model, driven through the same hostile scenario.

Each example is a plan of plain data, built once per side: a manager (plain,
a subclass or an instance overriding a member, a foreign class with
__slots__ holding the members), a plugin tree whose keys, nodes and leaves may
be str or dict subclasses with hooks of their own, lists of supported values,
module names rebound to recorders, and a few operations to run. Every hook of
a case object records its call, and runs the action planned for it the first
time it is called: raise (KeyboardInterrupt too), replace the tree, the
instance's __dict__, class or lists, rebind a module name, change the tree,
install a print_tree override, or register from inside the call. Between
calls too, the tree's nodes change by every kind of change a dict's keys are
told of, and lookups run with allocations failing. Both sides must give the
same result (the same class, or equal text), the same exception (type and
arguments), the same record of calls, in order, and leave the same tree,
instance and module names.

The cyclic garbage collector is off while an example runs, so a finaliser
runs exactly when the last reference to its object goes (the last test
starts it at every allocation instead). When the extension is built with its
sentinel (``_sentinel``), its side runs armed: no Python code may start while
a call is on its fast path.

CORVANE_FUZZ_EXAMPLES sets the number of examples (``.ci/fuzz`` runs many).
"""

import builtins
import gc
import inspect
import itertools
import os
import sys

import pytest
from hypothesis import HealthCheck, Phase, example, given, seed, settings
from hypothesis import strategies as st

import model
from corvane.core import pluginmanager

EXAMPLES = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "100"))
SENTINEL = getattr(pluginmanager, "_sentinel", None)
try:
    import _testcapi
except ImportError:
    _testcapi = None
NOMEMORY = getattr(_testcapi, "set_nomemory", None)


class Boom(Exception):
    pass


class OtherError(Exception):
    pass


class ConnA: ...


class ConnB: ...


class Recording(type):
    """Records every read of its classes' attributes on the case running."""

    case = None

    def __getattribute__(cls, name):
        case = Recording.case
        if case is not None and case.live:
            case.events.append(("class." + name,))
        return type.__getattribute__(cls, name)


class ConnM(metaclass=Recording): ...


# Shared by both sides, so results compare by identity; int has no file.
CLASSES = {"A": ConnA, "B": ConnB, "M": ConnM, "int": int}


class Case:
    """One side of an example: its module, record and manager. Hooks record
    and act only while `live` (while the operations run)."""

    def __init__(self, module, patch):
        self.module, self.patch = module, patch
        self.events, self.live, self.count = [], False, 0
        self.manager = None
        self.other_class = type("Other", (module.PluginManager,), OTHER)
        self.renamed = [(str(module.PluginManager), "<PluginManager>")]

    def label(self, x, depth=0):
        """A side-independent account of `x`, made without running its hooks."""
        kind = type(x)
        if kind is str:
            for old, new in self.renamed:
                x = x.replace(old, new)
            return x
        if issubclass(kind, dict):
            if depth > 8:
                return "..."
            items = dict.items(x)
            return (kind.__name__, [(self.label(k), self.label(v, depth + 1)) for k, v in items])
        if issubclass(kind, Hooked):
            return (kind.__name__, x.tag)
        if kind is W:
            return ("W", str.__str__(x))
        if issubclass(kind, type):
            return ("class", type.__getattribute__(x, "__qualname__"))
        if kind in (list, tuple):
            return (kind.__name__, [self.label(item, depth + 1) for item in x])
        if x is None or kind in (int, bool, float):
            return x
        return kind.__qualname__

    def __call__(self, outcome):
        """An operation's result: a shared class itself, anything else its label."""
        return outcome if any(outcome is cls for cls in CLASSES.values()) else self.label(outcome)


class Hooked:
    """Records each hook's call on its case and runs the action planned for
    that hook, once."""

    def __init__(self, case, acts=()):
        self.setup(case, acts)

    def setup(self, case, acts):
        case.count += 1
        self.case, self.tag, self.acts = case, case.count, dict(acts)

    def hook(self, name, *args):
        case = self.case
        if case.live:
            case.events.append((name, self.tag, *map(case.label, args)))
            action = self.acts.pop(name, None)
            if action is not None:
                ACTIONS[action](case)

    def __repr__(self):
        self.hook("repr")
        return f"<{type(self).__name__} {self.tag}>"


class S(str, Hooked):
    """A str subclass with its own hash (maybe a colliding one), equality
    ("same" as its text, equal only "once", or "never"), text and operators."""

    def __new__(cls, case, text, *rest):
        return str.__new__(cls, text)

    def __init__(self, case, text, hash_as, answers, acts):
        Hooked.__init__(self, case, acts)
        self.hash_as, self.answers, self.matched = hash_as, answers, False

    def __hash__(self):
        self.hook("hash")
        return hash(str.__str__(self) if self.hash_as is None else self.hash_as)

    def __eq__(self, other):
        self.hook("eq", other)
        if not isinstance(other, str):
            return NotImplemented
        same = str.__eq__(self, other)
        if self.answers == "never" or (self.answers == "once" and self.matched):
            return False
        self.matched = self.matched or (same and self.case.live)
        return same

    def __lt__(self, other):
        self.hook("lt", other)
        return str.__lt__(self, other)

    def __gt__(self, other):
        self.hook("gt", other)
        return str.__gt__(self, other)

    def __bool__(self):
        self.hook("bool")
        return str.__len__(self) > 0

    def __str__(self):
        self.hook("str")
        return str.__str__(self)

    def __repr__(self):
        self.hook("repr")
        return str.__repr__(self)

    def __add__(self, other):
        self.hook("add", other)
        return str.__add__(self, other)

    def __radd__(self, other):
        self.hook("radd", other)
        return other + "~" + str.__str__(self) if isinstance(other, str) else NotImplemented

    def __rmod__(self, other):
        self.hook("rmod", other)
        return str.__mod__(other, "~" + str.__str__(self))

    def islower(self):
        self.hook("islower")
        return str.islower(self)

    def isdigit(self):
        self.hook("isdigit")
        return str.isdigit(self)


class W(str):
    """A str subclass that overrides nothing."""


class C(Hooked):
    """Hashes like a name the module uses, equals nothing."""

    def __init__(self, case, name, acts):
        super().__init__(case, acts)
        self.hash_of = hash(name)

    def __hash__(self):
        self.hook("hash")
        return self.hash_of

    def __eq__(self, other):
        self.hook("eq", other)
        return False

    def __str__(self):
        self.hook("str")
        return "c"


class T(Hooked):
    """Not a str; its str() is a text."""

    def __init__(self, case, text, acts):
        super().__init__(case, acts)
        self.text = text

    def __str__(self):
        self.hook("str")
        return self.text


class F(Hooked):
    """Acts when the last reference to it goes."""

    def __del__(self):
        self.hook("del")

    def __str__(self):
        self.hook("str")
        return "fin"


class D(dict, Hooked):
    """A dict subclass standing in for a node; records its reads and writes."""

    def keys(self):
        self.hook("keys")
        return dict.keys(self)

    def __getitem__(self, key):
        self.hook("getitem", key)
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        self.hook("setitem", key)
        dict.__setitem__(self, key, value)

    def __delitem__(self, key):
        self.hook("delitem", key)
        dict.__delitem__(self, key)

    def __contains__(self, key):
        self.hook("contains", key)
        return dict.__contains__(self, key)

    def __eq__(self, other):
        self.hook("deq", other)
        return dict.__eq__(self, other)

    def __len__(self):
        self.hook("len")
        return dict.__len__(self)

    __hash__ = None


class Box(Hooked):
    """A container of supported values that is not a list."""

    def __init__(self, case, items, acts):
        super().__init__(case, acts)
        self.items = items

    def __contains__(self, value):
        self.hook("in", value)
        return value in self.items

    def __str__(self):
        self.hook("str")
        return "box" + str(self.items)


class Recorder(Hooked):
    """The package logger."""

    def debug(self, text):
        self.hook("debug", text)


class Spy(Hooked):
    """A function or a stand-in for one, recording its calls."""

    def __init__(self, case, name, function, acts):
        super().__init__(case, acts)
        self.name, self.function = name, function

    def __call__(self, *args, **kwargs):
        self.hook(self.name, *args, *kwargs.values())
        return self.function(*args, **kwargs)


class SysView(Hooked):
    """Stands in for the sys module in inspect."""

    @property
    def modules(self):
        self.hook("modules")
        return {**sys.modules, __name__: ModuleView(self.case, ())}


class ModuleView(Hooked):
    """Stands in for this module in sys.modules."""

    @property
    def __file__(self):
        self.hook("file")
        return __file__


OTHER = {
    "validate_chassis_type": lambda self, chassis_type: None,
    "print_tree": lambda self, data, output="plugin": "<other>",
}


def tree(case):
    return object.__getattribute__(case.manager, "_plugins")


def prune(node, depth=0):
    if type(node) in (dict, D) and depth < 8:
        dict.pop(node, "data", None)
        for child in list(dict.values(node)):
            prune(child, depth + 1)


def fail(kind):
    # No local holds the exception: its traceback would keep the frames
    # (and what they hold) alive until the cyclic collector runs.
    raise kind("action")


def rebind(case, name, value):
    case.patch.setattr(case.module, name, value, raising=False)


def register(case):
    case.manager.register_plugin(ConnB, "generic", "q")


def copied(value):
    return {k: copied(v) for k, v in dict.items(value)} if type(value) is dict else value


# Every kind of change a dict's keys are told of (a key added, exact str or
# not, modified, deleted, the dict cleared, cloned into, or deallocated and a
# new one made at its address), each leaving the node's content equal, or
# with one key more. The key of another kind collides with the node's first
# key, and is put where that key was, which goes after it: a lookup of that
# key asks it first.
CHANGES = ["add_key", "add_other", "modify", "delete", "clear_node", "clone", "init", "replace"]


def change(manager, kind, depth, case):
    """Makes the change `kind` to the node `depth` levels down the first
    children of the manager's tree."""
    parent, key, node = manager, "_plugins", object.__getattribute__(manager, "_plugins")
    child = None
    for _ in range(depth):
        child = next((kv for kv in dict.items(node) if type(kv[1]) in (dict, D)), None)
        if child is None:
            break
        parent, (key, node) = node, child
    if type(node) not in (dict, D):
        return
    put, items = dict.__setitem__, list(dict.items(node))
    first = items[0][0] if items and isinstance(items[0][0], str) else "data"
    other = S(case, "zz", str.__str__(first), "never", ())
    taken = {k for k, _ in items if type(k) is str}
    new = next((k for k in ("generic", "linux", "p", "m", "f", "data") if k not in taken), None)
    if kind == "add_key" and new is not None:
        chassis = {chassis: {"cls": ConnB, "path": "g"} for chassis in CHASSIS[:2]}
        put(node, new, chassis if new == "data" else {"data": chassis})
    elif kind in ("add_other", "delete") and items:
        moved = items[0 if kind == "add_other" else -1]
        dict.__delitem__(node, moved[0])
        if kind == "add_other":
            put(node, other, {})
        put(node, *moved)
    elif kind == "modify" and items:
        put(node, items[0][0], copied(items[0][1]))
    elif kind in ("clear_node", "clone", "init"):
        content = dict([(other, {})] if kind == "clone" else [])
        content.update(items)
        dict.clear(node)
        (dict.__init__ if kind == "init" else dict.update)(node, content)
    elif kind == "replace":
        # The node goes (unless a call holds it): the next dict made takes
        # its place.
        del node, child
        setter = object.__setattr__ if parent is manager else put
        setter(parent, key, None)
        fresh = {}
        for item in [(other, {}), *items]:
            put(fresh, *item)
        setter(parent, key, fresh)


ACTIONS = {
    "raise": lambda case: fail(Boom),
    "interrupt": lambda case: fail(KeyboardInterrupt),
    "tree": lambda case: setattr(case.manager, "_plugins", {"generic": {"p": {}}}),
    "clear": lambda case: dict.clear(tree(case)),
    "prune": lambda case: prune(tree(case)),
    "grow": lambda case: dict.__setitem__(
        tree(case), "generic", {"data": {"single_rp": {"cls": ConnB, "path": "g"}}}
    ),
    "dict": lambda case: setattr(case.manager, "__dict__", dict(vars(case.manager))),
    "class": lambda case: setattr(case.manager, "__class__", case.other_class),
    "lists": lambda case: (
        setattr(case.manager, "supported_os", ["other"]),
        setattr(case.manager, "chassis_type_list", ["stack"]),
    ),
    "getfile": lambda case: rebind(case, "getfile", Spy(case, "getfile2", lambda cls: "h", ())),
    "log": lambda case: rebind(case, "log", Recorder(case, ())),
    "error": lambda case: rebind(case, "ConnectionInfraError", OtherError),
    "override": lambda case: setattr(
        case.manager, "print_tree", Spy(case, "render", lambda data, output="plugin": "<r>", ())
    ),
    "register": register,
}
for kind in CHANGES:
    ACTIONS[kind] = lambda case, kind=kind: change(case.manager, kind, len(case.events) % 3, case)


def starved(case, manager, args):
    """A lookup with the allocations of a window failing, neither recorded
    nor acted on: the proofs it enters, or fails to, must not show later."""
    start, length = args.pop("window")
    case.live = False
    NOMEMORY(start, start + length)
    try:
        manager.get_plugin(**args)
    except BaseException:  # suppress() would need memory to leave
        pass
    _testcapi.remove_mem_hooks()
    case.live = True


# What the plan's specs build, on one side.
def made_dict():
    # An empty dict the module made (a new manager's tree), as the nodes
    # register_plugin makes: lookups through such dicts may be remembered.
    return pluginmanager.PluginManager()._plugins


def build(case, spec):
    kind, *rest = spec
    if kind in ("s", "x"):
        return rest[0]
    if kind == "c":
        return CLASSES[rest[0]]
    if kind == "k":
        return type("K", (), {build(case, rest[0]): 1, "__module__": "leaves"})
    if kind == "w":
        return W(rest[0])
    if kind == "S":
        return S(case, *rest)
    if kind == "C":
        return C(case, *rest)
    if kind == "T":
        return T(case, *rest)
    if kind == "F":
        return F(case, rest[0])
    if kind == "box":
        return Box(case, list(rest[0]), rest[1])
    if kind == "list":
        return [build(case, item) for item in rest[0]]
    acts, entries = rest  # a node
    node = made_dict() if acts is None else D()
    if acts is not None:
        node.setup(case, acts)
    for key, value in entries:
        dict.__setitem__(node, build(case, key), build(case, value))
    return node


def make_manager(case, kind, hook_acts, collide):
    probe = Hooked(case, hook_acts)
    base = case.module.PluginManager

    class Sub(base):
        if kind == "chassis":

            def validate_chassis_type(self, chassis_type):
                probe.hook("validate_chassis_type", chassis_type)

        if kind == "render":

            def print_tree(self, data, output="plugin"):
                probe.hook("print_tree", data, output)
                return super().print_tree(data, output)

        if kind == "attrs":

            def __getattribute__(self, name):
                probe.hook("getattr", name)
                return object.__getattribute__(self, name)

    if kind == "slots":
        members = {
            name: value
            for name, value in vars(base).items()
            if name not in ("__dict__", "__weakref__", "__module__", "__qualname__")
        }
        members["__slots__"] = ("_plugins", "supported_os", "chassis_type_list")
        return type("Foreign", (), members)()
    manager = Sub() if kind in ("chassis", "render", "attrs") else base()
    if kind == "instance":
        method = base.validate_os
        manager.validate_os = Spy(case, "validate_os", lambda os: method(manager, os), hook_acts)
    if collide is not None and kind != "slots":
        vars(manager)[C(case, collide, hook_acts)] = 1
    return manager


def run(case, plan):
    """Builds the plan on `case` and runs its operations: their outcomes."""
    module = case.module
    case.patch.setattr(module, "log", Recorder(case, plan["log"]))
    getfile = plan["getfile"]
    if getfile == "fake":
        case.patch.setattr(module, "getfile", Spy(case, "getfile", lambda cls: "f", plan["acts"]))
    elif getfile == "module":
        for cls in (ConnA, ConnB):
            text = cls.__module__
            case.patch.setattr(cls, "__module__", S(case, text, None, "same", plan["acts"]))
    elif getfile == "sys":
        case.patch.setattr(inspect, "sys", SysView(case, plan["acts"]))
    elif getfile != "real":
        real = getattr(inspect, getfile, None) or getattr(builtins, getfile)
        case.patch.setattr(inspect, getfile, Spy(case, getfile, real, plan["acts"]), raising=False)
    case.patch.setattr(Recording, "case", case)
    case.patch.setattr(
        sys, "unraisablehook", lambda info: case.live and case.events.append(("unraisable",))
    )
    manager = case.manager = make_manager(case, *plan["manager"])
    object.__setattr__(manager, "_plugins", build(case, plan["tree"]))
    for name in ("supported_os", "chassis_type_list"):
        if plan[name] is not None:
            object.__setattr__(manager, name, build(case, plan[name]))
    case.renamed.append((hex(id(manager)), "<id>"))
    caller = dict(vars(builtins))  # the builtins of the code making the calls
    if plan["unbound"] is not None:
        case.patch.delattr(module, plan["unbound"])
        caller[plan["unbound"]] = STAND_INS[plan["unbound"]](case)
    calls = [operation(case, manager, op, caller) for op in plan["operations"]]
    outcomes = []
    case.live = True
    try:
        for op, call in zip(plan["operations"], calls, strict=True):
            case.events.append(("call", op[0]))
            start = len(case.events)
            if SENTINEL is not None and module is pluginmanager:
                SENTINEL.arm()
            try:
                outcomes.append(("ok", case(call())))
            except (Exception, KeyboardInterrupt) as error:
                outcomes.append(("raised", type(error), case.label(error.args)))
            finally:
                if SENTINEL is not None and module is pluginmanager:
                    SENTINEL.disarm()
            if outcomes[-1][0] == "raised":
                unwound(case.events, start)
    finally:
        case.live = False
    state = [case.label(manager.__class__)]
    for name in ("_plugins", "supported_os", "chassis_type_list", "__dict__"):
        try:
            state.append(case.label(object.__getattribute__(manager, name)))
        except AttributeError:
            state.append(None)
    state += [case.label(getattr(module, name, None)) for name in STAND_INS]
    return outcomes, case.events, state


STAND_INS = {
    "ConnectionInfraError": lambda case: OtherError,
    "log": lambda case: Recorder(case, ()),
    "getfile": lambda case: Spy(case, "getfile3", lambda cls: "b", ()),
}


def unwound(events, start):
    """What an exception released on its way out is released by the model
    only when the traceback that holds its frames goes, in an order of its
    own: the finalisers that ran last in a failed call count in any order."""
    first = len(events)
    while first > start and events[first - 1][0] == "del":
        first -= 1
    events[first:] = sorted(events[first:])


def operation(case, manager, op, builtins):
    """The call of one operation, with its arguments built, made from code
    whose builtins are `builtins`."""
    name, positional, specs = op
    args = {key: build(case, spec) for key, spec in specs.items()}
    if name == "change":
        return lambda: ACTIONS[args["kind"]](case)
    if name == "starved":
        return lambda: starved(case, manager, args)
    if name == "print_tree" and args["data"] is None:
        args["data"] = object.__getattribute__(manager, "_plugins")
    call = "repr(m)" if name == "repr" else f"m.{name}(*a)" if positional else f"m.{name}(**k)"
    scope = {"__builtins__": builtins, "m": manager, "a": tuple(args.values()), "k": args}
    return eval("lambda: " + call, scope)


# The plan: plain data, drawn by Hypothesis. A text drawn from a list with
# repeats is drawn that much more often.
STR_HOOKS = ["eq", "hash", "bool", "str", "repr", "radd", "rmod", "add", "islower", "isdigit"]
STR_HOOKS += ["lt", "gt"]
OTHER_HOOKS = ["eq", "hash", "str", "repr", "del", "keys", "getitem", "setitem", "delitem", "deq"]
OTHER_HOOKS += ["len", "in", "debug", "getfile", "isclass", "ismodule", "hasattr", "modules"]
OTHER_HOOKS += ["validate_chassis_type", "print_tree", "getattr", "validate_os"]
COLLIDING = ["data", "cls", "path", "os", "linux", "single_rp", "generic", "p", "validate_os"]
COLLIDING += ["print_tree", "_plugins", "supported_os", "__module__", "modules", "__class__"]
LITERALS = [None, 0, 7, True, ("a",), ("a", "b"), 1.5]
MANAGERS = ["plain", "chassis", "render", "attrs", "instance", "slots"]
GETFILES = ["real", "fake", "module", "isclass", "ismodule", "hasattr", "sys"]


def acts(hooks):
    """No action half the time, else one action, run by one hook."""
    pairs = [((hook, action),) for hook in hooks for action in ACTIONS]
    table = [()] * len(pairs) + pairs
    return st.sampled_from(range(len(table))).map(table.__getitem__)


str_acts, other_acts = acts(STR_HOOKS), acts(OTHER_HOOKS)
colliding = st.sampled_from(COLLIDING)
hashes = st.sampled_from([None] * len(COLLIDING) + COLLIDING)


def value(texts, kinds="ssssSSwCTx"):
    """A value spec: one of `texts`, exact or in a hostile form, or a literal."""
    text = st.sampled_from(texts)
    forms = {
        "s": text.map(lambda t: ("s", t)),
        "w": text.map(lambda t: ("w", t)),
        "S": st.tuples(
            st.just("S"),
            text,
            hashes,
            st.sampled_from(["same", "same", "once", "never"]),
            str_acts,
        ),
        "C": st.tuples(st.just("C"), colliding, other_acts),
        "T": st.tuples(st.just("T"), text, other_acts),
        "x": st.sampled_from(LITERALS).map(lambda v: ("x", v)),
    }
    return st.one_of([forms[kind] for kind in kinds])


def maybe(strategy):
    return st.one_of(st.just(("x", None)), strategy)


def entries(*parts):
    return tuple(entry for part in parts for entry in part)


LEVELS = [["generic", "linux"], ["p", "f"], ["m", "f"], ["f"]]
CHASSIS = ["single_rp", "single_rp", "dual_rp", "stack", "other"]
node_acts = st.one_of(st.none(), st.none(), other_acts)
finaliser = st.tuples(st.just("F"), other_acts)
record = st.one_of(
    st.tuples(
        st.just("n"),
        node_acts,
        st.tuples(
            st.just((("s", "cls"), ("c", "A"))),
            st.tuples(st.just(("s", "path")), st.one_of(st.just(("s", "f")), finaliser)),
        ),
    ),
    st.tuples(
        st.just("n"),
        node_acts,
        st.tuples(
            st.tuples(
                st.just(("s", "cls")),
                st.one_of(
                    st.sampled_from([("c", "B"), ("c", "M"), ("c", "int")]),
                    st.tuples(st.just("k"), value(["k"], "S")),
                ),
            ),
            st.just((("s", "path"), ("s", "g"))),
        ),
    ),
    st.tuples(st.just("T"), st.just("leaf"), other_acts),
)
chassis_map = st.tuples(
    st.just("n"),
    node_acts,
    st.lists(st.tuples(value(CHASSIS[:-1], "sssS"), record), min_size=1, max_size=2).map(tuple),
)


def node(level=0):
    chassis = st.one_of(st.just(()), st.tuples(st.tuples(value(["data"], "sssS"), chassis_map)))
    children = st.just([])
    if level < len(LEVELS):
        child = st.tuples(value(LEVELS[level], "sssSSw"), node(level + 1))
        children = st.lists(child, max_size=2 - level // 2, unique_by=lambda entry: entry[0][1])
    junk = st.one_of(
        st.just(()), st.just(()), st.tuples(st.tuples(value(["z"], "sSCx"), finaliser))
    )
    return st.builds(
        lambda a, *parts: ("n", a, entries(*parts)), node_acts, chassis, children, junk
    )


PLAIN = {"os": ["generic", "linux"], "platform": [None, "p"], "model": [None, None, "m"]}
PLAIN |= {"os_flavor": [None, "f"], "chassis_type": CHASSIS[:2]}
plain = st.fixed_dictionaries({key: st.sampled_from(values) for key, values in PLAIN.items()})
plain = plain.map(lambda d: {key: d[key] for key in PLAIN})  # in the order of the parameters


def plain_tree(level=0):
    """A tree of exact dicts with exact-str keys, classes as ("c", name)."""
    record = st.sampled_from(["A", "B"]).map(lambda cls: {"cls": ("c", cls), "path": "f"})
    chassis = st.one_of(st.none(), st.dictionaries(st.sampled_from(CHASSIS[:3]), record))
    children = st.just({})
    if level < len(LEVELS):
        keys = st.sampled_from(LEVELS[level])
        children = st.dictionaries(keys, plain_tree(level + 1), min_size=1 if level == 0 else 0)
    return st.builds(lambda c, k: {**({} if c is None else {"data": c}), **k}, chassis, children)


# Mostly descriptions that pass validation, so that the tree is reached.
valid = st.builds(
    lambda os, platform, model, os_flavor, chassis_type: {
        "os": os,
        "platform": platform,
        "model": model if platform[0] != "x" else ("x", None),
        "os_flavor": os_flavor,
        "chassis_type": chassis_type,
    },
    value(["generic", "linux"], "sssS"),
    maybe(value(["p"], "sssS")),
    maybe(value(["m"], "sssS")),
    maybe(value(["f"], "sssSC")),
    value(["single_rp", "single_rp", "dual_rp"], "sssS"),
)
descriptions = st.one_of(
    valid,
    valid,
    valid,
    st.fixed_dictionaries(
        {
            "os": value(["generic", "linux", "a", "Linux", ""]),
            "platform": maybe(value(["p", "12", "data", "Abc", ""])),
            "model": maybe(value(["m", "", "1.5"])),
            "os_flavor": maybe(value(["f", "data"])),
            "chassis_type": value(CHASSIS),
        }
    ),
)
OPERATIONS = {
    "get_plugin": descriptions,
    "register_plugin": st.builds(
        lambda cls, d: {"cls": ("c", cls), **d}, st.sampled_from(list(CLASSES)), descriptions
    ),
    "unregister_plugin": st.builds(
        lambda d, chassis: {**d, "chassis_type": chassis}, descriptions, maybe(value(CHASSIS))
    ),
    "print_tree": st.fixed_dictionaries(
        {
            "data": st.one_of(
                st.just(("x", None)),
                node(1),
                value(["v", ""]),
                st.tuples(st.just("k"), value(["k"], "S")),
            ),
            "output": value(["plugin", "", "x\ny"]),
        }
    ),
    "repr": st.just({}),
}
for name, keys in {
    "validate_model": ("os", "platform", "model"),
    "validate_platform": ("os", "platform"),
    "validate_os": ("os",),
    "validate_chassis_type": ("chassis_type",),
    "validate_arguments": ("os", "platform", "model", "chassis_type"),
}.items():
    OPERATIONS[name] = descriptions.map(lambda d, keys=keys: {key: d[key] for key in keys})
# Between calls: a change to the tree; a lookup with allocations failing.
OPERATIONS["change"] = st.sampled_from(CHANGES).map(lambda kind: {"kind": ("x", kind)})
if NOMEMORY is not None:
    OPERATIONS["starved"] = st.builds(
        lambda d, window: {**d, "window": ("x", window)},
        valid,
        st.tuples(st.integers(1, 30), st.sampled_from([1, 4])),
    )
# Exact strs but for the flavour, now and then a str subclass whose hooks act.
plainly = st.builds(
    lambda d, flavor: {**{key: spec(v) for key, v in d.items()}, "os_flavor": flavor},
    plain,
    maybe(value(["f"], "sS")),
)


def operations_of(name, operations=OPERATIONS):
    return st.tuples(st.just(name), st.booleans(), operations[name])


operations = st.one_of([operations_of(name) for name in OPERATIONS])
supported = st.one_of(
    st.none(),
    st.none(),
    st.none(),
    st.lists(value(["generic", "linux", "stack", "single_rp"]), max_size=3).map(
        lambda items: ("list", tuple(items))
    ),
    st.builds(lambda a: ("box", ("generic", "single_rp"), a), other_acts),
)
plans = st.fixed_dictionaries(
    {
        "manager": st.tuples(
            st.sampled_from(MANAGERS), other_acts, st.one_of(st.none(), st.none(), colliding)
        ),
        "tree": node(),
        "supported_os": supported,
        "chassis_type_list": supported,
        "log": acts(["debug"]),
        "getfile": st.sampled_from(GETFILES),
        "unbound": st.sampled_from([None] * 6 + list(STAND_INS)),
        "acts": other_acts,
        "operations": st.lists(operations, min_size=1, max_size=4),
    }
)


def both(plan):
    """The plan run on the extension, then on the model: the two accounts,
    and the sentinel's violations on the extension's side."""
    accounts = []
    for module in (pluginmanager, model):
        order = list(vars(module))
        gc.disable()
        try:
            with pytest.MonkeyPatch.context() as patch:
                accounts.append(run(Case(module, patch), plan))
        finally:
            gc.enable()
            # A name deleted and put back goes to the end: put it back in place.
            namespace = vars(module)
            for name in order:
                namespace[name] = namespace.pop(name)
    return (*accounts, SENTINEL.take() if SENTINEL is not None else [])


def spec(value, acts=None):
    """A spec written by hand: a str is an exact str, None is None, a dict
    or a list of pairs is a node (a dict subclass when `acts` is given)."""
    if isinstance(value, str):
        return ("s", value)
    if value is None:
        return ("x", None)
    if isinstance(value, dict):
        value = list(value.items())
    if isinstance(value, list):
        return ("n", acts, tuple((spec(key), spec(child)) for key, child in value))
    return value


def scenario(tree, *operations, **fields):
    return {
        **{"manager": ("plain", (), None), "tree": spec(tree), "log": (), "acts": ()},
        **{"supported_os": None, "chassis_type_list": None, "getfile": "real", "unbound": None},
        "operations": [
            (name, False, {key: spec(value) for key, value in args.items()})
            for name, args in operations
        ],
        **fields,
    }


def hostile(text, *act):
    """A str subclass with hooks, running `act` (a hook and an action) if given."""
    return ("S", text, None, "same", (act,) if act else ())


RECORD = {"single_rp": {"cls": ("c", "A"), "path": "f"}}


# Cases found by hand.
@example(
    # The logger replaces the tree; a finaliser in the old one changes the
    # chassis types that the same call reads next.
    plan=scenario(
        {"other": {"data": RECORD, "keep": ("F", (("del", "lists"),))}},
        ("get_plugin", {"os": "other"}),
        log=(("debug", "tree"),),
    )
)
@example(
    # getfile replaces the tree before the walk.
    plan=scenario(
        {},
        ("register_plugin", {"cls": ("c", "A"), "os": "generic", "platform": "p"}),
        getfile="fake",
        acts=(("getfile", "tree"),),
    )
)
@example(
    # Comparing the flavour with "data" replaces the tree.
    plan=scenario(
        {"generic": {"f": {"data": RECORD}}},
        ("unregister_plugin", {"os": "generic", "os_flavor": hostile("f", "eq", "tree")}),
        ("get_plugin", {"os": "generic", "os_flavor": "f"}),
    )
)
@example(
    # A key stored before "p" and colliding with it.
    plan=scenario(
        {"generic": [(("C", "p", ()), {}), ("p", {"data": RECORD})]},
        ("get_plugin", {"os": "generic", "platform": "p"}),
    )
)
@example(
    # The module's names rebound while a message or a line is built.
    plan=scenario(
        {},
        ("validate_model", {"os": "a", "platform": "", "model": ("T", "m", (("str", "error"),))}),
        ("validate_os", {"os": ("T", "elsewhere", (("str", "log"),))}),
    )
)
@example(
    # print_tree overridden from a node's __getitem__ while rendering.
    plan=scenario(
        {},
        (
            "print_tree",
            {"data": {"x": spec({"a": "1", "b": "2"}, (("getitem", "override"),)), "y": "4"}},
        ),
    )
)
@example(
    # print_tree overridden from a leaf's __str__ while rendering.
    plan=scenario(
        {}, ("print_tree", {"data": {"a": ("T", "1", (("str", "override"),)), "b": {"c": "2"}}})
    )
)
@example(
    # Keys compared after their children are rendered.
    plan=scenario(
        {},
        ("print_tree", {"data": spec([(hostile(k), spec({"v": "1\n2"}, ())) for k in "ba"], ())}),
    )
)
@pytest.mark.filterwarnings("ignore:Generating overly large repr")
@seed(20240519)
@settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    phases=[Phase.explicit, Phase.generate, Phase.shrink],
    suppress_health_check=list(HealthCheck),
)
@given(plan=plans)
def test_extension_does_what_the_model_does(plan):
    agree(plan)


def agree(plan):
    (outcomes, events, state), expected, violations = both(plan)
    assert outcomes == expected[0]
    assert events == expected[1]
    assert state == expected[2]
    assert violations == []


# Plans that prove a tree's nodes and change them: a tree whose keys a lookup
# can prove, operations that walk it, and changes to it between them and (by
# the hooks of the keys given) in the middle of them.
PROVING = {"get_plugin": plainly, "unregister_plugin": plainly, "repr": st.just({})}
PROVING |= {"register_plugin": plainly.map(lambda d: {"cls": ("c", "A"), **d})}
PROVING |= {"change": OPERATIONS["change"], "starved": OPERATIONS.get("starved", st.nothing())}
# Each lookup is made twice, so that the second may be answered by what the
# first remembered (from 3.12 on) unless a change came between.
proving_plans = st.builds(
    lambda tree, operations: {
        **scenario({}),
        "tree": spec(tree),
        "operations": [
            twice for op in operations for twice in [op] * (1 + (op[0] == "get_plugin"))
        ],
    },
    plain_tree(),
    st.lists(
        st.one_of([operations_of(name, PROVING) for name in [*PROVING, "change"]]),
        min_size=2,
        max_size=6,
    ),
)


@seed(20240519)
@settings(max_examples=max(EXAMPLES // 2, 50), deadline=None, database=None)
@given(plan=proving_plans)
def test_what_is_proven_of_changed_nodes_is_what_the_model_shows(plan):
    agree(plan)


# Collections started at every allocation, whose callbacks or finalisers
# change the tree in the middle of a call: its steps cannot be matched with
# the model's one by one. Instead, no Python code may start on a fast path,
# and a lookup or a render must give the model's outcome on the tree before
# the change or after it, which are all the written steps can give: a change
# (CHANGES) is made at once and leaves every read of the tree answering alike
# but one at most (the node that gains a key: its keys listed by the render,
# or that key tested by the lookup, whose keys are distinct here and each
# tested once, "data" too). All the other reads agree on both trees, so the
# outcome is the one of the tree that this read saw.
class Finaliser:
    def __init__(self, change):
        self.change, self.cycle = change, self

    def __del__(self):
        self.change()


QUIET = Case(model, None)  # hooks that neither record nor act
gc_steps = st.tuples(
    st.sampled_from(["get_plugin", "print_tree", "register_plugin", "unregister_plugin"]),
    plain,
    st.sampled_from(CHANGES),
    st.integers(0, 3),  # the depth of the node changed
    st.integers(0, 6),  # the collections before the one that changes it
    st.booleans(),  # by a finaliser, else by the callback
)


def gc_outcome(manager, name, description):
    # Called through * and **: the tuple and the dict made for the call
    # leave a collection due as it starts.
    args = [object.__getattribute__(manager, "_plugins")] if name == "print_tree" else []
    kwargs = {"cls": ConnA, **description} if name == "register_plugin" else description
    kwargs = {} if args else kwargs
    member = getattr(manager, name)
    try:
        return ("ok", member(*args, **kwargs))
    except Exception as error:
        return ("raised", type(error), error.args)


def collected(manager, step):
    """The step's call on the extension, with a collection started at every
    allocation, one of which makes the step's change."""
    name, description, kind, depth, skipped, by_finaliser = step
    armed, collections = [True], itertools.count()

    def callback(phase, info):
        if phase == "start" and next(collections) == skipped:
            Finaliser(make_change) if by_finaliser else make_change()

    def make_change():
        if armed:
            armed.clear()
            change(manager, kind, depth, QUIET)

    enabled, threshold = gc.isenabled(), gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    gc.enable()
    if SENTINEL is not None:
        SENTINEL.arm()
    try:
        return gc_outcome(manager, name, description)
    finally:
        if SENTINEL is not None:
            SENTINEL.disarm()
        armed.clear()
        gc.callbacks.remove(callback)
        gc.set_threshold(*threshold)
        if not enabled:
            gc.disable()


@seed(20240519)
@settings(max_examples=max(EXAMPLES // 4, 25), deadline=None, database=None)
@given(tree=plain_tree(), steps=st.lists(gc_steps, min_size=1, max_size=4))
def test_collections_in_a_call_give_an_outcome_of_the_written_steps(tree, steps):
    manager, reference = pluginmanager.PluginManager(), model.PluginManager()
    manager._plugins = build(None, spec(tree))
    for step in steps:
        candidates = []
        for changed in (False, True):
            reference._plugins = copied(manager._plugins)
            if changed:
                change(reference, step[2], step[3], QUIET)
            candidates.append(gc_outcome(reference, *step[:2]))
        outcome = collected(manager, step)
        reports = SENTINEL.take() if SENTINEL is not None else []
        assert reports == []
        assert step[0] in ("register_plugin", "unregister_plugin") or outcome in candidates
