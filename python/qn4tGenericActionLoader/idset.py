"""A compact set of actionIDs (unsigned 32-bit), for check's duplicate warnings: memory about
flat in the number of actions where the IDs are dense, as in the game's files (a bit per
possible ID of each 65,536-wide range in use), and at most 2 bytes per ID where they are
scattered, against some 100 bytes per ID of a set or dict of ints."""
from __future__ import print_function, division

from array import array
from bisect import bisect_left

_PAGE_BITS = 16                   # IDs are grouped by their upper 16 bits
_LOW_MASK = (1 << _PAGE_BITS) - 1
_BITMAP_BYTES = (1 << _PAGE_BITS) // 8
# A range's IDs are listed (2 bytes each) until a bitmap (8 KB) is as small as the list.
_LISTED_MOST = _BITMAP_BYTES // 2


class IdSet(object):
    """add(id) -> whether id was there already."""

    def __init__(self):
        # upper bits -> the lower bits in order (array('H')), or a bytearray bitmap
        self._pages = {}

    def add(self, number):
        high, low = number >> _PAGE_BITS, number & _LOW_MASK
        page = self._pages.get(high)
        if page is None:
            self._pages[high] = array("H", (low,))
            return False
        if isinstance(page, bytearray):
            byte, bit = low >> 3, 1 << (low & 7)
            if page[byte] & bit:
                return True
            page[byte] |= bit
            return False
        at = bisect_left(page, low)
        if at < len(page) and page[at] == low:
            return True
        if len(page) < _LISTED_MOST:
            page.insert(at, low)
        else:
            self._pages[high] = _bitmap(page, low)
        return False

    def __contains__(self, number):
        page = self._pages.get(number >> _PAGE_BITS)
        if page is None:
            return False
        low = number & _LOW_MASK
        if isinstance(page, bytearray):
            return bool(page[low >> 3] & (1 << (low & 7)))
        at = bisect_left(page, low)
        return at < len(page) and page[at] == low


def _bitmap(listed, low):
    bitmap = bytearray(_BITMAP_BYTES)
    for value in listed:
        bitmap[value >> 3] |= 1 << (value & 7)
    bitmap[low >> 3] |= 1 << (low & 7)
    return bitmap
