"""Names that are almost right: which known name a misspelt one most likely
meant, and refusals of unknown keyword arguments that say so."""

from __future__ import annotations

import difflib
import functools
import inspect
from collections.abc import Callable, Iterable
from typing import Optional, ParamSpec, TypeVar

P = ParamSpec("P")
R = TypeVar("R")

# Names other change-point packages use for what is called otherwise here.
ALIASES = {"penalty": "pen", "n_changes": "n_bkps", "n_breakpoints": "n_bkps",
           "n_cps": "n_bkps", "minseglen": "min_size", "min_seg_len": "min_size",
           "gaussian": "normal"}
# difflib's similarity below which a name is not offered as what was meant.
CLOSENESS = 0.6


def _folded(name: str) -> str:
    return name.lower().replace("-", "_")


def closest(name: object, known: Iterable[str]) -> Optional[str]:
    """The known name that `name` most likely meant: the same name in another
    case (or with '-' for '_'), another package's name for it, or a close
    spelling; None when nothing is close."""
    if not isinstance(name, str):
        return None
    by_folded = {_folded(k): k for k in known}
    key = _folded(name)
    if key in by_folded:
        return by_folded[key]
    alias = ALIASES.get(key.lstrip("_"))
    if alias is not None:
        for folded, original in by_folded.items():
            if folded.lstrip("_") == alias:
                return original
    match = difflib.get_close_matches(key, list(by_folded), n=1, cutoff=CLOSENESS)
    return by_folded[match[0]] if match else None


def did_you_mean(name: object, known: Iterable[str]) -> str:
    """" Did you mean 'l2'?", or nothing when no known name is close."""
    guess = closest(name, known)
    return "" if guess is None else f" Did you mean '{guess}'?"


def unexpected_keyword(function: str, name: str, known: Iterable[str]) -> TypeError:
    """Python's own refusal of an unknown keyword argument, with the likely one."""
    hint = did_you_mean(name, known)
    return TypeError(f"{function}() got an unexpected keyword argument '{name}'"
                     + (f".{hint}" if hint else ""))


def keywords_checked(*extra: str) -> Callable[[Callable[P, R]], Callable[P, R]]:
    """A decorator refusing keyword arguments that are neither the function's
    own parameters nor `extra` (those its ``**kwargs`` pass on), naming the
    likely one."""
    def decorate(function: Callable[P, R]) -> Callable[P, R]:
        parameters = inspect.signature(function).parameters.values()
        known = [p.name for p in parameters
                 if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)] + list(extra)

        @functools.wraps(function)
        def checked(*args: P.args, **kwargs: P.kwargs) -> R:
            for name in kwargs:
                if name not in known:
                    raise unexpected_keyword(function.__name__, name, known)
            return function(*args, **kwargs)
        return checked
    return decorate
