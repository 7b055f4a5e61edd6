"""The one rule of what counts as a misspelling of a name.

``check`` reports an operating system registered a misspelling away from a
supported one (CP006), and ``which`` offers, after a miss, the registered
operating system that the name asked for is a misspelling of: both by
``edit_distance``.
"""

from __future__ import annotations

from collections.abc import Iterable

__all__ = ["closest", "deletion_variants", "edit_distance"]


def edit_distance(name: str, other: str) -> int | None:
    """Return how many edits (a character inserted, deleted or replaced, or two
    neighbours swapped; case ignored) make ``name`` into ``other``, when that
    is few enough to be a misspelling: one edit, two for names of eight
    characters or more, only a swap for names shorter than four characters.

    Returns:
        The number of edits, or ``None`` when the names are equal or farther
        apart than a misspelling.
    """
    if name == other:
        return None
    a, b = name.lower(), other.lower()
    shortest = min(len(a), len(b))
    limit = 2 if shortest >= 8 else 1
    if abs(len(a) - len(b)) > limit:
        return None
    # Optimal string alignment distance: rows of the edit table, two kept back.
    before: list[int] = []
    previous = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        current = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            cost = 0 if a[i - 1] == b[j - 1] else 1
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost)
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                current[j] = min(current[j], before[j - 2] + 1)
        before, previous = previous, current
    distance = previous[len(b)]
    if distance > limit:
        return None
    if shortest < 4 and distance > 0 and not _swapped(a, b):
        return None
    return distance


def _swapped(a: str, b: str) -> bool:
    # Equal but for two neighbouring characters swapped.
    if len(a) != len(b):
        return False
    differ = [i for i in range(len(a)) if a[i] != b[i]]
    return len(differ) == 2 and differ[1] == differ[0] + 1 and a[differ[0]] == b[differ[1]]


def deletion_variants(name: str) -> set[str]:
    """Return the name in lower case with up to as many characters deleted as
    ``edit_distance`` allows edits (two from eight characters on, one below).

    Two names a misspelling apart share one: each edit (an insert, a delete,
    a replacement, a swap of neighbours) is undone by deleting at most one
    character of each name. Searching by them keeps a search for misspellings
    linear in the names.
    """
    text = name.lower()
    found = {text}
    for _ in range(2 if len(text) >= 8 else 1):
        found |= {each[:i] + each[i + 1 :] for each in found for i in range(len(each))}
    return found


def closest(name: str, candidates: Iterable[str]) -> str | None:
    """Return the candidate that ``name`` is a misspelling of, the one fewest
    edits away (the first in sorted order of those as close); ``None`` when
    it is a misspelling of none."""
    ranked = [
        (distance, candidate)
        for candidate in candidates
        if (distance := edit_distance(name, candidate)) is not None
    ]
    return min(ranked)[1] if ranked else None
