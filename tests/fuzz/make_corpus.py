#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (tests/fuzz/corpus/seed-*).

Each seed is a short scenario written against the decoder in OperationReceiptFuzzer.cpp.
FuzzedDataProvider takes integers from the end of the input, so the bytes of a scenario are
collected in the order the decoder reads them and written out reversed. Keep the opcodes and
argument order here in step with Step() and DecodeList() there.

Usage: tests/fuzz/make_corpus.py [OUTPUT_DIR]   (default: the corpus/ directory beside it)
"""
import os
import sys

CREATE, RELEASE, ACQUIRE, FLUSH, FLUSH_ONE, CANCEL, READ, CODE, MESSAGE, SET_ERROR, STATE, \
    SET_VALUE, SET_SIZE, LINK, SWITCH, RETIRE, OVER_RELEASE, COUNTS, NULLS, POST_FLUSH = (
        0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20)

# Callback action bits (FuzzHarness.h).
A_CREATE, A_FLUSH, A_CANCEL, A_RELEASE, A_SET_ERROR, A_SET_VALUE, A_FLUSH_ONE, A_READ = (
    1, 2, 4, 8, 16, 32, 64, 128)

# Target kinds: 0..4 the operation at an index, 5 token 0, 6 never handed out, 7 a free-slot token.
ZERO, NEVER, ODD = 5, 6, 7


class Seed:
    def __init__(self, levels=0):
        self.read = [levels & 0xFF]  # bytes in the order the decoder consumes them

    def u8(self, v):
        self.read.append(v & 0xFF)
        return self

    def u16(self, v):  # the first byte consumed is the high one
        return self.u8(v >> 8).u8(v)

    def u64(self, v):
        for shift in range(56, -8, -8):
            self.u8(v >> shift)
        return self

    def target(self, index, kind=0):
        return self.u8(kind).u8(index)

    def op(self, code):
        return self.u8(code)

    def create(self, token=True, has_value=0, always=0, execute=0, value=0, destroy=0, pick=0,
               child=0, code=0, value_result=0, name=2, null_descriptor=False, no_context=False):
        flags = 0x0200 if token else 0x0001
        if null_descriptor:
            flags &= ~0xF
        else:
            flags |= 0x1
        if no_context:
            flags |= 0x30
        self.op(CREATE).u16(flags).u8(name).u8(has_value).u8(always)
        return self.u8(execute).u8(value).u8(destroy).u8(pick).u8(child).u8(code).u8(value_result)

    def release(self, index, kind=0, second=False):
        return self.op(RELEASE).target(index, kind).u8(1 if second else 0)

    def read_value(self, index, how=4, kind=0):  # how % 5 == 4: GetValue; else 8 << how % 4 bits
        return self.op(READ).target(index, kind).u8(how)

    def set_value(self, index, bits=6, pattern=0x0123456789ABCDEF):
        return self.op(SET_VALUE).target(index).u8(bits).u64(pattern)

    def list_(self, elements, lay=0, count=0):
        """elements: (kind byte, [values as ('pos', table index) or ('raw', n)], lay form)."""
        if elements is None:
            return self.u8(0)
        self.u8(1 | (lay << 2)).u8(len(elements))
        for kind, values, form in elements:
            self.u8(kind)
            is_range = (kind & 3) != 0
            if not (is_range and (kind & 0x30)):
                self.u8(len(values))
            for how, v in values:
                if how == 'pos':
                    self.u8(1).u8(v)
                else:
                    self.u8(0).u64(v)
            self.u8(form)
        return self.u8(count)

    def link(self, dest, source, dest_list=None, source_list=None, dest_kind=0, source_kind=0):
        self.op(LINK).target(dest, dest_kind).target(source, source_kind)
        self.list_(dest_list)
        return self.list_(source_list)

    def bytes(self):
        return bytes(reversed(self.read))


def seeds():
    s = {}
    s['create-flush-read'] = (Seed(0xF).create(has_value=1).op(FLUSH).read_value(0)
                              .op(STATE).target(0).release(0))
    s['set-value-read-widths'] = (Seed().create().set_value(0).read_value(0, 0).read_value(0, 1)
                                  .read_value(0, 2).read_value(0, 3).release(0, second=True))
    s['value-size'] = (Seed().create().op(SET_SIZE).target(0).u8(8).read_value(0)
                       .op(SET_SIZE).target(0).u8(12).read_value(0, 3).release(0))
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
    s['execute-creates'] = (Seed().create(execute=A_CREATE | A_SET_ERROR, child=A_CREATE | 1,
                                          code=2).op(FLUSH).op(CODE).target(0)
                            .op(MESSAGE).target(0).u8(3).u8(3).release(0))
    s['execute-cancels-later'] = (Seed().create(execute=A_CANCEL, pick=1).create().create()
                                  .op(FLUSH).op(STATE).target(1).release(0).release(1).release(2))
    s['execute-sets-value'] = (Seed().create(execute=A_SET_VALUE | A_READ, pick=0)
                               .read_value(0).release(0))
    s['destroy-creates'] = (Seed().create(destroy=A_CREATE | A_FLUSH, child=A_CREATE)
                            .op(FLUSH).release(0).op(FLUSH))
    s['value-callback-flushes'] = (Seed().create().create(value=A_FLUSH | A_CREATE, child=1)
                                   .set_value(1).op(FLUSH).release(0).release(1))
    s['cancel-chain'] = (Seed().create().create().create().op(CANCEL).target(1)
                         .op(CANCEL).target(0).op(FLUSH).op(CANCEL).target(2)
                         .release(0).release(1).release(2))
    s['failure-and-always'] = (Seed().create(code=1).create().create(always=1)
                               .create(always=0x80).op(FLUSH).op(MESSAGE).target(1).u8(4).u8(3)
                               .op(CODE).target(2).release(0).release(1).release(2).release(3))
    s['two-threads'] = (Seed().op(SWITCH).u8(1).create().op(SWITCH).u8(0).op(FLUSH_ONE).target(0)
                        .op(CANCEL).target(0).op(STATE).target(0).op(SWITCH).u8(1).op(FLUSH)
                        .op(SWITCH).u8(2).read_value(0).release(0))
    s['retire-worker'] = (Seed().op(SWITCH).u8(2).create(has_value=1).create().op(RETIRE)
                          .create().op(SWITCH).u8(0).read_value(0).release(0).release(1)
                          .release(2))
    s['over-release'] = (Seed().create(token=False).create().op(OVER_RELEASE).u8(0)
                         .op(OVER_RELEASE).u8(1).op(FLUSH).release(1))
    s['acquire-release'] = (Seed().create().op(ACQUIRE).target(0).op(ACQUIRE).target(0)
                            .op(FLUSH).release(0).release(0, second=True).release(0)
                            .release(0).op(STATE).target(0))
    s['dead-tokens'] = (Seed().create().op(FLUSH).release(0).op(ACQUIRE).target(0)
                        .read_value(0).op(SET_ERROR).target(0).u8(1).u8(2)
                        .set_value(0).op(CANCEL).target(0).op(FLUSH_ONE).target(0)
                        .link(0, 0).release(0))
    s['never-handed-out'] = (Seed().op(STATE).target(0, NEVER).read_value(1, kind=NEVER)
                         .op(ACQUIRE).target(2, NEVER).release(3, kind=NEVER)
                         .op(STATE).target(0, ZERO).release(0, kind=ZERO)
                         .op(STATE).target(1, ODD).link(0, 1, dest_kind=NEVER, source_kind=ODD))
    s['null-pointers'] = (Seed().create().op(NULLS).target(0).op(NULLS).target(0, NEVER)
                          .op(MESSAGE).target(0).u8(0).u8(0).op(FLUSH).release(0))
    s['counts'] = (Seed().create().op(COUNTS).u8(0).op(COUNTS).u8(3).op(COUNTS).u8(5)
                   .op(FLUSH).op(COUNTS).u8(0).release(0))
    s['post-flush'] = (Seed().op(POST_FLUSH).u8(3).u8(A_CREATE | A_READ).u8(0).create()
                       .op(FLUSH).op(FLUSH).release(0))
    s['unnamed-null-descriptor'] = (Seed().create(null_descriptor=True, token=False)
                                    .create(null_descriptor=True).create(no_context=True, name=0)
                                    .op(FLUSH).release(1).release(2))
    s['error-messages'] = (Seed().create().op(SET_ERROR).target(0).u8(5).u8(3).op(FLUSH)
                           .op(MESSAGE).target(0).u8(0).u8(2).op(MESSAGE).target(0).u8(1).u8(3)
                           .op(MESSAGE).target(0).u8(4).u8(1).release(0))
    return s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'corpus')
    os.makedirs(out, exist_ok=True)
    for name, seed in seeds().items():
        with open(os.path.join(out, 'seed-' + name), 'wb') as f:
            f.write(seed.bytes())


if __name__ == '__main__':
    main()
