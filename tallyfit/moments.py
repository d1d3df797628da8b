"""Central moment sums of a column read in blocks, merged exactly.

A block's `Moments` are its count, its mean and the sums of the powers of its values
centred at that mean, up to an order. Two blocks merge by moving each one's sums to the
merged mean (``(x - m)^j`` expanded in powers of ``x - mean`` of the block, the
generalisation of Chan's parallel formula for the variance): every sum is of values centred
near their own mean, so nothing of the spread cancels, whatever the order of the merges.
"""

from __future__ import annotations

from dataclasses import dataclass
from math import comb

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Moments:
    """`count` values of mean `mean`; `sums[j]` is the sum of ``(x - mean)^j``, j = 0..order.

    >>> whole = Moments.of(np.array([1.0, 2.0, 4.0, 7.0]), 2)
    >>> merged = Moments.of(np.array([1.0, 2.0]), 2) + Moments.of(np.array([4.0, 7.0]), 2)
    >>> bool(np.allclose(whole.sums, merged.sums)), merged.mean
    (True, 3.5)
    """

    count: int
    mean: float
    sums: FloatArray

    @staticmethod
    def of(values: FloatArray, order: int) -> "Moments":
        """The moments of an array of values (none missing) up to `order`."""
        mean = float(values.mean()) if len(values) else 0.0
        centred = values - mean
        sums = np.empty(order + 1)
        power = np.ones_like(centred)
        for j in range(order + 1):
            sums[j] = float(power.sum())
            power = power * centred
        return Moments(len(values), mean, sums)

    def about(self, centre: float) -> FloatArray:
        """The sums of ``(x - centre)^j`` for j = 0..order."""
        shift = self.mean - centre
        order = len(self.sums) - 1
        return np.array([sum(comb(j, i) * self.sums[i] * shift ** (j - i) for i in range(j + 1))
                         for j in range(order + 1)])

    def __add__(self, other: "Moments") -> "Moments":
        if not other.count:
            return self
        if not self.count:
            return other
        count = self.count + other.count
        mean = self.mean + (other.mean - self.mean) * (other.count / count)
        return Moments(count, mean, self.about(mean) + other.about(mean))
