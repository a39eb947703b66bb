#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (tests/fuzz/corpus/seed-*).

Each seed is a short scenario written against the decoder in OperationReceiptFuzzer.cpp.
FuzzedDataProvider takes integers from the end of the input, so the bytes of a scenario are
collected in the order the decoder reads them and written out reversed. Keep the action numbers
(a step's first byte picks from kActions by weight) and argument orders in step with kActions.

Usage: tests/fuzz/make_corpus.py [OUTPUT_DIR]   (default: the corpus/ directory beside it)
"""
import os
import sys

# A top-level step's byte: create has weight 2 (0 and 1), every other action 1, in table order.
CREATE, RELEASE, ACQUIRE, FLUSH, FLUSH_ONE, CANCEL, READ, CODE, MESSAGE, STATE, SET_ERROR, \
    SET_VALUE, SET_SIZE, LINK, OVER_RELEASE, COUNTS, NULLS, POST_FLUSH, SWITCH, RETIRE = (
        0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20)
# The same actions as numbered inside a callback of each kind (only those allowed there).
IN_EXECUTE = dict(create=0, release=2, flush=3, flush_one=4, cancel=5, read=6, set_error=7, set_value=8)
IN_VALUE = dict(create=0, flush=2, read=3, set_error=4)
IN_DESTROY = dict(create=0, release=2, flush=3, flush_one=4, cancel=5, read=6, set_value=7)
IN_POST_FLUSH = dict(create=0, flush=2, flush_one=3, cancel=4, read=5)

# Target kinds: 0..4 the operation at an index, 5 token 0, 6 never handed out, 7 a free-slot token.
ZERO, NEVER, ODD = 5, 6, 7
# Creation flags.
TOKEN, NO_CONTEXT, NO_EXECUTE, NO_VALUE_CB, NO_DESTROY, NULL_DESCRIPTOR, BUSY = 1, 2, 4, 8, 16, 32, 64


class Seed:
    def __init__(self, levels=0):
        self.read = [levels & 0xFF]  # bytes in the order the decoder consumes them

    def u8(self, v):
        self.read.append(v & 0xFF)
        return self

    def u64(self, v):  # the first byte consumed is the high one
        for shift in range(56, -8, -8):
            self.u8(v >> shift)
        return self

    def target(self, index, kind=0):
        return self.u8(kind).u8(index)

    def op(self, code, *target):
        self.u8(code)
        return self.target(*target) if target else self

    def create(self, flags=TOKEN, name=2, has_value=0, always=0, code=0, value_result=0, top=True):
        if top:
            self.u8(CREATE)
        return self.u8(flags).u8(name).u8(has_value).u8(always).u8(code).u8(value_result)

    def extend(self, actions):  # raw bytes: what a busy callback does is a count, then actions
        for a in actions:
            self.u8(a)
        return self

    def release(self, index, kind=0, second=False):
        return self.op(RELEASE, index, kind).u8(1 if second else 0)

    def read_value(self, index, how=4, kind=0):  # how: 0..3 the 8 << how bits, 4 GetValue
        return self.op(READ, index, kind).u8(how)

    def set_value(self, index, bits=6, pattern=0x0123456789ABCDEF):
        return self.op(SET_VALUE, index).u8(bits).u64(pattern)

    def list_(self, elements, lay=0, count=0):
        """elements: (kind byte, [values as ('pos', table index) or ('raw', n)], lay form)."""
        if elements is None:
            return self.u8(0)
        self.u8(1 | (lay << 2)).u8(len(elements))
        for kind, values, form in elements:
            self.u8(kind)
            if not ((kind & 3) != 0 and (kind & 0x30)):
                self.u8(len(values))
            for how, v in values:
                if how == 'pos':
                    self.u8(1).u8(v)
                else:
                    self.u8(0).u64(v)
            self.u8(form)
        return self.u8(count)

    def link(self, dest, source, dest_list=None, source_list=None, dest_kind=0, source_kind=0):
        self.op(LINK, dest, dest_kind).target(source, source_kind)
        return self.list_(dest_list).list_(source_list)

    def bytes(self):
        return bytes(reversed(self.read))


def seeds():
    s = {}
    s['create-flush-read'] = (Seed(0xF).create(has_value=1).op(FLUSH).read_value(0)
                              .op(STATE, 0).release(0))
    s['set-value-read-widths'] = (Seed().create().set_value(0).read_value(0, 0).read_value(0, 1)
                                  .read_value(0, 2).read_value(0, 3).release(0, second=True))
    s['value-size'] = (Seed().create().op(SET_SIZE, 0).u8(5).read_value(0)
                       .op(SET_SIZE, 0).u8(9).read_value(0, 3).release(0))
    s['link-whole'] = (Seed().create().create().set_value(1).link(0, 1).read_value(0)
                       .release(1).release(0))
    s['link-lists'] = (Seed().create().create().set_value(1, bits=9)
                       .link(0, 1, [(0x11, [('raw', 3), ('raw', 5)], 0)],
                             [(0, [('raw', 1), ('raw', 2), ('raw', 7)], 0)])
                       .read_value(0).release(0).release(1))
    s['link-high-positions'] = (Seed().create().create().set_value(1)
                                .link(0, 1, [(0, [('pos', 16), ('pos', 15)], 0)],
                                      [(0x15, [('pos', 14), ('pos', 2)], 0)])
                                .read_value(0).release(0).release(1))
    s['link-empty-elements'] = (Seed().create().create().set_value(1)
                                .link(0, 1, [(0, [], 1), (0, [('raw', 2)], 2), (0x11, [], 3)],
                                      None).read_value(0).release(0).release(1))
    s['self-link'] = Seed().create(has_value=1).link(0, 0).read_value(0).release(0)
    s['two-cycle'] = (Seed().create().create().link(0, 1).link(1, 0).read_value(0)
                      .read_value(1).release(0).release(1))
    s['execute-creates'] = (Seed().create(flags=TOKEN | BUSY, code=2).op(FLUSH)
                            .extend([2, IN_EXECUTE['create']]).create(flags=TOKEN, top=False)
                            .u8(IN_EXECUTE['set_error']).u8(3).u8(2)
                            .op(CODE, 0).op(MESSAGE, 0).u8(3).u8(3).release(0).release(1))
    s['execute-cancels-later'] = (Seed().create(flags=TOKEN | BUSY).create().create().op(FLUSH)
                                  .extend([1, IN_EXECUTE['cancel']]).target(2)
                                  .op(STATE, 1).release(0).release(1).release(2))
    s['execute-sets-value'] = (Seed().create(flags=TOKEN | BUSY).read_value(0)
                               .extend([2, IN_EXECUTE['set_value']]).u8(4).u64(0xA5A5)
                               .u8(IN_EXECUTE['read']).target(0).u8(3).release(0))
    s['destroy-creates'] = (Seed().create(flags=TOKEN | BUSY).op(FLUSH).u8(0).release(0)
                            .extend([2, IN_DESTROY['create']]).create(flags=0, top=False)
                            .u8(IN_DESTROY['flush']).op(FLUSH))
    s['value-callback-flushes'] = (Seed().create().create(flags=TOKEN | BUSY).set_value(1)
                                   .extend([2, IN_VALUE['flush'], IN_VALUE['create']])
                                   .create(flags=0, top=False).op(FLUSH).release(0).release(1))
    s['cancel-chain'] = (Seed().create().create().create().op(CANCEL, 1).op(CANCEL, 0)
                         .op(FLUSH).op(CANCEL, 2).release(0).release(1).release(2))
    s['failure-and-always'] = (Seed().create(code=2).create().create(always=2).create(always=3)
                               .op(FLUSH).op(MESSAGE, 1).u8(4).u8(3).op(CODE, 2)
                               .release(0).release(1).release(2).release(3))
    s['two-threads'] = (Seed().op(SWITCH).u8(1).create().op(SWITCH).u8(0).op(FLUSH_ONE, 0)
                        .op(CANCEL, 0).op(STATE, 0).op(SWITCH).u8(1).op(FLUSH)
                        .op(SWITCH).u8(2).read_value(0).release(0))
    s['retire-worker'] = (Seed().op(SWITCH).u8(2).create(has_value=1).create().op(RETIRE)
                          .create().op(SWITCH).u8(0).read_value(0).release(0).release(1)
                          .release(2))
    s['over-release'] = (Seed().create(flags=0).create().op(OVER_RELEASE, 0)
                         .op(OVER_RELEASE, 1).op(FLUSH).release(1))
    s['acquire-release'] = (Seed().create().op(ACQUIRE, 0).op(ACQUIRE, 0).op(FLUSH).release(0)
                            .release(0, second=True).release(0).release(0).op(STATE, 0))
    s['dead-tokens'] = (Seed().create().op(FLUSH).release(0).op(ACQUIRE, 0).read_value(0)
                        .op(SET_ERROR, 0).u8(1).u8(2).set_value(0).op(CANCEL, 0)
                        .op(FLUSH_ONE, 0).link(0, 0).release(0))
    s['never-handed-out'] = (Seed().op(STATE, 0, NEVER).read_value(1, kind=NEVER)
                             .op(ACQUIRE, 2, NEVER).release(3, kind=NEVER).op(STATE, 0, ZERO)
                             .release(0, kind=ZERO).op(STATE, 1, ODD)
                             .link(0, 1, dest_kind=NEVER, source_kind=ODD))
    s['null-pointers'] = (Seed().create().op(NULLS, 0).op(NULLS, 0, NEVER)
                          .op(MESSAGE, 0).u8(0).u8(0).op(FLUSH).release(0))
    s['counts'] = (Seed().create().op(COUNTS).u8(0).op(COUNTS).u8(3).op(COUNTS).u8(5)
                   .op(FLUSH).op(COUNTS).u8(0).release(0))
    s['post-flush'] = (Seed().op(POST_FLUSH).u8(3).u8(1).create().op(FLUSH)
                       .extend([2, IN_POST_FLUSH['create']]).create(flags=TOKEN, top=False)
                       .u8(IN_POST_FLUSH['read']).target(1).u8(4).op(FLUSH).u8(0)
                       .release(0).release(1))
    s['unnamed-null-descriptor'] = (Seed().create(flags=NULL_DESCRIPTOR)
                                    .create(flags=TOKEN | NULL_DESCRIPTOR)
                                    .create(flags=TOKEN | NO_CONTEXT, name=0)
                                    .op(FLUSH).release(1).release(2))
    s['error-messages'] = (Seed().create().op(SET_ERROR, 0).u8(5).u8(3).op(FLUSH)
                           .op(MESSAGE, 0).u8(0).u8(2).op(MESSAGE, 0).u8(1).u8(3)
                           .op(MESSAGE, 0).u8(4).u8(1).release(0))
    return s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'corpus')
    os.makedirs(out, exist_ok=True)
    for name, seed in seeds().items():
        with open(os.path.join(out, 'seed-' + name), 'wb') as f:
            f.write(seed.bytes())


if __name__ == '__main__':
    main()
