"""Argument checks shared by :func:`gridweave.evolve`, :func:`gridweave.resume` and the island model."""

from __future__ import annotations

import secrets
import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from . import _core, routes
from .config import strategy_name, validate_config
from .measure import cost_array
from .planning import Attachments, attachments
from .run import (
    RANKED_SELECTIONS,
    native_seed,
)


def checked_inputs(
    cost_map: Any,
    config: Mapping[str, Any],
    generations: int,
    start: str,
    polish_children: int,
    archive_size: int,
) -> np.ndarray:
    """The cost map as the engine takes it, after the arguments every run takes
    (:func:`gridweave.evolve` and the island model) have been checked."""
    validate_config(config)
    cost = checked_cost(cost_map, config["special"]["grid_size"])
    if generations < 0:
        raise ValueError("generations must not be negative")
    if start not in routes.START_METHODS:
        raise ValueError(f"start must be one of {', '.join(routes.START_METHODS)}, got {start!r}")
    if polish_children < 0:
        raise ValueError("polish_children must not be negative")
    if archive_size < 2:
        raise ValueError("archive_size must be at least 2")
    warn_unused_diversity(config)
    return cost


def checked_plan(cost: np.ndarray, config: Mapping[str, Any], existing: Any, regions: Any) -> Attachments | None:
    """The existing network and regions of a run, checked; None when neither is given."""
    plan = attachments(cost.shape, existing, regions)
    if plan is None:
        return None
    if strategy_name(config["special"]["evaluation_strategy"]) == "MultiObjectiveBridge":
        raise ValueError("existing and regions: the bridge objective does not count links through an "
                         "existing network yet; use the single objective")
    return plan


def checked_cost(cost_map: Any, grid_size: Sequence[int]) -> np.ndarray:
    """The cost map as the engine reads it (:func:`gridweave.measure.cost_array`:
    NaN and masked cells ``inf``, negative costs refused), of shape ``grid_size``.

    The caller's array itself is returned when it needs no change, so that a
    large map is never copied. Raises ValueError for a map that is not
    two-dimensional, whose shape is not ``grid_size`` or that holds negative
    costs.

    Example:
        >>> checked_cost([[1.0, float("nan")]], (1, 2))
        array([[ 1., inf]])
        >>> checked_cost([[1.0, -2.0]], (1, 2))
        Traceback (most recent call last):
        ValueError: argument 'cost_map': the cost map holds negative costs (first at (row, column) ...
    """
    cost = cost_array(cost_map)
    if tuple(cost.shape) != tuple(grid_size):
        raise ValueError(
            f"cost map shape (rows, columns) {tuple(cost.shape)} does not match grid_size "
            f"{tuple(grid_size)}"
        )
    return cost


def checked_seed(seed: Any) -> int:
    """The seed a run uses: ``seed`` itself, or one drawn when it is None.

    Any non-negative integer is a seed; negative numbers and non-integers are
    refused.

    Example:
        >>> checked_seed(7)
        7
        >>> checked_seed(-3)
        Traceback (most recent call last):
        ValueError: seed must be a non-negative integer, got -3
    """
    if seed is None:
        seed = secrets.randbelow(2**63)
    if isinstance(seed, bool) or not isinstance(seed, int | np.integer) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, got {seed!r}")
    _core._seed(native_seed(int(seed)))
    return int(seed)


def warn_unused_diversity(config: Mapping[str, Any]) -> None:
    ranked = strategy_name(config["selection_strategy"]) in RANKED_SELECTIONS
    if config["diversity_objective"] is True and not ranked:
        warnings.warn(
            "diversity_objective has no effect under NEAT selection (it ranks by fitness "
            "alone; the novelty score only counts under NSGA2 or SPEA2), so it is skipped",
            stacklevel=4,
        )
