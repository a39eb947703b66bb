#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (tests/fuzz/corpus/seed-*).

Each seed is a short scenario written against the decoder in OperationReceiptFuzzer.cpp.
FuzzedDataProvider takes its bytes from the end of the input, so a scenario's bytes are collected
in the order the decoder reads them and written out reversed. Keep the step numbers (the first
byte of a step, taken modulo the sum of the weights, picks from kActions by weight) and the
argument orders in step with kActions.

A busy operation's callbacks (execute, each value installed, destroy) and a busy post-flush
callback read a count (0-2) and that many steps; they read nothing once the input has ended.

Usage: tests/fuzz/make_corpus.py [OUTPUT_DIR]   (default: the corpus/ directory beside it)
"""
import os
import sys

# A step's first byte: the first roll of each entry of kActions (weights 4 1 2 1 2 1 1 4 1 1 1 2 1).
CREATE, CREATE_NULL, RELEASE, ACQUIRE, FLUSH, FLUSH_ONE, CANCEL, READ, SET_ERROR, SET_VALUE, \
    SET_SIZE, LINK, POST_FLUSH = 0, 4, 5, 7, 8, 10, 11, 12, 16, 17, 18, 19, 21
# Creation flags.
NO_TOKEN, BUSY, HAS_VALUE, SETS_VALUE, ALWAYS = 1, 2, 4, 8, 16
# Targets: the n-th operation created (modulo their number), or one of these strays.
ZERO, ALL_ONES, HIGH_BIT, BIT_32 = 224, 225, 226, 227
# What a read reads: the first 8, 16, 32 or 64 bits, the whole value, state, code, message.
U8, U16, U32, U64, VALUE, STATE, CODE = range(7)
# kCodes indices: 0 and 1 succeed; 2: 1; 3: 0x7F0000AA; 4: 0xFFFFFFFF.
FAIL, FAIL2 = 2, 3
# Link shapes.
RANGE, ASCENDING, SKEWED, RIGHT_COUNT, TO_LIST, FROM_LIST = 1, 2, 16, 32, 64, 128
# kBits indices (1, 8, 33, 64, 65, 200) and kBig indices (0 1 3 7 64 65 130 2^20 2^28+1 2^32 ~0).
BITS_33, BITS_64, BITS_200 = 2, 3, 5


class Seed:
    def __init__(self, levels=0):
        self.read = [levels & 0xFF]  # bytes in the order the decoder consumes them

    def u8(self, *values):
        self.read.extend(v & 0xFF for v in values)
        return self

    def u64(self, v):  # the first byte consumed is the high one
        return self.u8(*(v >> shift for shift in range(56, -8, -8)))

    def create(self, flags=0, execute=0, value=0, name=2, bits=BITS_64,
               pattern=0x0123456789ABCDEF):
        self.u8(CREATE, flags, execute + 5 * value + 25 * name)
        return self.u8(bits).u64(pattern) if flags & SETS_VALUE else self

    def op(self, step, target=None, *args):
        self.u8(step)
        if target is not None:
            self.u8(target)
        return self.u8(*args)

    def read_(self, target, how, message_size=0):
        return self.op(READ, target, how + 8 * message_size)

    def set_value(self, target, bits=BITS_33, pattern=0xA5A5A5A5A5A5A5A5):
        return self.op(SET_VALUE, target, bits).u64(pattern)

    def link(self, to, source, lists=0, values=0, first=0, second=0, flags=RIGHT_COUNT):
        """lists: TO_LIST and/or FROM_LIST, which both get the one list: `values` (0-2) kBig
        indices `first`, `second`, as positions or (flags RANGE) a range's start and length."""
        shape = next(b for b in (low | lists | flags for low in (0, 4, 8, 12))
                     if (b >> 2) % 3 == values)
        return self.op(LINK, to, source, shape, first, second)

    def post_flush(self, code, busy):
        return self.op(POST_FLUSH, None, next(b for b in range(16)
                                                if b % 5 == code and bool(b & 8) == busy))

    def nested(self, count):  # what a busy callback reads first
        return self.u8(count)

    def bytes(self):
        return bytes(reversed(self.read))


def seeds():
    s = {}
    # A value set by the execute callback, read back whole and by widths; state and release.
    s['execute-sets-value'] = (
        Seed(0xF).create(SETS_VALUE | HAS_VALUE).op(FLUSH).read_(0, U64).read_(0, VALUE)
        .read_(0, U8).read_(0, U16).read_(0, U32).read_(0, STATE).op(RELEASE, 0))
    # A busy execute callback creates an operation (run at once) and cancels a later one.
    s['execute-reenters'] = (
        Seed().create(BUSY).create().op(FLUSH_ONE, 0)
        .nested(2).create(SETS_VALUE, bits=BITS_200).op(CANCEL, 1)
        .read_(2, VALUE).read_(1, STATE).op(RELEASE, 0).nested(0).op(RELEASE, 1).op(RELEASE, 2))
    # Links from earlier operations, with lists on either side, then the destination read.
    s['links'] = (
        Seed().create(SETS_VALUE, bits=BITS_200).create(SETS_VALUE).create()
        .link(2, 0).link(2, 1, TO_LIST | FROM_LIST, 2, 2, 3, RANGE | ASCENDING | RIGHT_COUNT)
        .link(1, 0, TO_LIST, 2, 1, 4).link(2, 0, FROM_LIST, 1, 6, flags=SKEWED).link(0, 2).read_(2, VALUE).read_(1, U64).op(RELEASE, 2).op(RELEASE, 1).op(RELEASE, 0))
    # Tokens released to nothing and strays, sent to every kind of entry.
    s['dead-tokens'] = (
        Seed().create().op(FLUSH).op(RELEASE, 0).op(ACQUIRE, 0).read_(0, VALUE)
        .op(SET_ERROR, 0, FAIL).set_value(0).op(SET_SIZE, 0, 3).op(CANCEL, 0).op(FLUSH_ONE, 0)
        .link(0, 0).read_(ALL_ONES, STATE).op(RELEASE, ZERO).op(ACQUIRE, ZERO).read_(HIGH_BIT, CODE)
        .op(RELEASE, BIT_32).op(CREATE_NULL))
    # A failing operation, one marked always-execute after it, their codes and messages.
    s['failure-and-always'] = (
        Seed().create(execute=FAIL).create().create(ALWAYS, execute=FAIL2).op(SET_ERROR, 1, 6)
        .op(FLUSH).read_(1, 7, 3).read_(2, CODE).read_(0, 7, 8).read_(1, VALUE)
        .op(RELEASE, 0).op(RELEASE, 1).op(RELEASE, 2))
    # A busy post-flush callback that fails and creates; acquire and the second release entry.
    s['post-flush'] = (
        Seed().post_flush(FAIL, busy=True).create().op(ACQUIRE, 0).op(FLUSH)
        .nested(1).create(NO_TOKEN).op(RELEASE, 0).op(RELEASE, 0))
    # Sizes and values set from outside, a busy value callback, a busy destroy callback.
    s['values-and-destroy'] = (
        Seed().create(BUSY | HAS_VALUE).op(SET_SIZE, 0, 4).set_value(0).nested(1).read_(0, STATE)
        .read_(0, VALUE).nested(0).read_(0, U32).op(SET_SIZE, 0, 8).op(RELEASE, 0).nested(1)
        .create().op(FLUSH))
    return s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'corpus')
    os.makedirs(out, exist_ok=True)
    for name, seed in seeds().items():
        with open(os.path.join(out, 'seed-' + name), 'wb') as f:
            f.write(seed.bytes())


if __name__ == '__main__':
    main()
