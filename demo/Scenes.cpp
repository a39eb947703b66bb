// Scenes.cpp
//
// The building blocks of the session's operations, scenes 1 to 4, and the session itself.
// Scene 1 drives the C table directly; the others use the C++ helpers over the same table.

#include "Scenes.h"

#include <initializer_list>
#include <vector>

#include "BitData.h"
#include "StandInServices.h"

namespace demo {

using operation_receipt::Operation;
using operation_receipt::OperationOptions;

namespace {

std::atomic<uint64_t> gFlushes{0};

uint32_t CountFlush() {
  gFlushes.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

constexpr OperationOptions kWithValue{/*hasValue=*/true};

// An IndexList filled in by hand: runs (start, length, rising) and lists of single positions,
// in the order added. The list points into this object, which must stay alive until LinkValue
// has returned (the component copies the list).
class Positions {
 public:
  Positions& Run(uint64_t start, uint64_t length) {
    values_.push_back({start, length});
    ranges_.push_back(1);
    count_ += length;
    return *this;
  }
  Positions& Each(std::initializer_list<uint64_t> positions) {
    values_.emplace_back(positions);
    ranges_.push_back(0);
    count_ += positions.size();
    return *this;
  }
  const IndexList* list() {
    runs_.clear();
    for (size_t i = 0; i < values_.size(); ++i) {
      IndexRun run{};
      run.isRange = ranges_[i];
      run.ascending = 1;
      run.valuesBegin = values_[i].data();
      run.valuesEnd = values_[i].data() + values_[i].size();
      run.valuesCapacityEnd = run.valuesEnd;
      runs_.push_back(run);
    }
    list_.elementsBegin = runs_.data();
    list_.elementsEnd = runs_.data() + runs_.size();
    list_.elementsCapacityEnd = list_.elementsEnd;
    list_.count = count_;
    return &list_;
  }

 private:
  std::vector<std::vector<uint64_t>> values_;
  std::vector<uint8_t> ranges_;
  std::vector<IndexRun> runs_;
  IndexList list_{};
  uint64_t count_ = 0;
};

std::string Padded(const char* name, size_t width) {
  std::string text(name);
  text.resize(std::max(text.size(), width), ' ');
  return text;
}

uint64_t TotalReads(const SimulatedTarget& target) {
  uint64_t total = 0;
  for (const Reg reg : kAllRegisters) total += target.ReadCount(reg);
  return total;
}

}  // namespace

// ---- Building blocks ----------------------------------------------------------------------

uint32_t ReportFault(const Access& access) {
  Quorvel_ErrorPostError(access.code, access.fault.c_str(), "Scenes.cpp", __LINE__);
  return access.code;
}

uint32_t InstallValue(const OperationReceiptComponent& table, uint64_t token, unsigned widthBits,
                      uint32_t value) {
  BitData* bits = BitData_CreateManaged(widthBits);
  if (bits == nullptr) return STANDIN_BITDATA_E_NO_MEMORY;
  BitData_SetUpToUInt64(bits, 0, widthBits, value);
  const uint32_t result = table.SetValue(token, bits);  // the operation owns the buffer now
  if (result == OR_INVALID_OPERATION_TOKEN) BitData_FreeManaged(bits);
  return result;
}

uint32_t RegisterRead::operator()(uint64_t token) const {
  const Access access = target->Read(reg);
  if (!access.ok()) return ReportFault(access);
  return InstallValue(*table, token, SimulatedTarget::Info(reg).widthBits, access.value);
}

uint32_t ExecuteRegisterRead(uint64_t token, void* context) {
  return (*static_cast<const RegisterRead*>(context))(token);
}

const char* ReadName(Reg reg) {
  switch (reg) {
    case Reg::PC: return "Read PC";
    case Reg::SP: return "Read SP";
    case Reg::STATUS: return "Read STATUS";
    case Reg::CONTROL: return "Read CONTROL";
    case Reg::ID: return "Read ID";
    case Reg::FAULTY: return "Read FAULTY";
  }
  return "Read ?";
}

uint32_t RegisterFlushCounter(const OperationReceiptComponent& table) {
  return table.SetPostFlushCallback(&CountFlush);
}

uint64_t FlushCount() { return gFlushes.load(std::memory_order_relaxed); }

bool Session::Check(bool condition, const std::string& what) {
  if (!condition) {
    PrintLine("  ! unexpected: " + what);
    ok = false;
  }
  return condition;
}

void Session::Record(int scene, const std::string& name, uint64_t token, bool withValue,
                     unsigned widthBits) {
  SummaryRow row;
  row.scene = scene;
  row.operation = name;
  row.widthBits = widthBits;
  Check(table.GetOperationState(token, &row.state) == OR_NO_ERROR, "no state for " + row.operation);
  Check(table.GetErrorCode(token, &row.code) == OR_NO_ERROR, "no code for " + row.operation);
  if (withValue && row.state == OperationState_Executed) {
    uint32_t value = 0;
    row.hasValue = table.GetValueUInt32(token, &value) == OR_NO_ERROR;
    row.value = value;
  }
  summary.Add(std::move(row));
}

// ---- Scene 1 ------------------------------------------------------------------------------

void SceneBufferedReads(Session& s) {
  PrintHeading(1, "buffered reads",
               "Five register reads are queued on this thread (nothing reaches the target yet),\n"
               "run together by one Flush, then read back by token with the typed readers.");
  constexpr std::array<Reg, 5> kRegs = {Reg::PC, Reg::SP, Reg::STATUS, Reg::CONTROL, Reg::ID};
  std::array<RegisterRead, kRegs.size()> reads{};
  std::array<uint64_t, kRegs.size()> tokens{};
  const uint64_t readsBefore = TotalReads(s.target);
  Say("queueing reads of PC, SP, STATUS, CONTROL and ID (C table: CreateOperation)");
  for (size_t i = 0; i < kRegs.size(); ++i) {
    reads[i] = RegisterRead{&s.table, &s.target, kRegs[i]};
    OperationDescriptor descriptor{};
    descriptor.name = ReadName(kRegs[i]);
    descriptor.executeCallback = &ExecuteRegisterRead;
    descriptor.context = &reads[i];  // outlives the operation: released below
    descriptor.hasValue = 1;
    s.Check(s.table.CreateOperation(&descriptor, &tokens[i]) == OR_NO_ERROR, "create failed");
  }
  uint32_t pending = 0;
  s.table.GetPendingOperationCount(kMainClient, &pending);
  Say("queued: GetPendingOperationCount(client 1) = " + std::to_string(pending) +
      ", reads that reached the target: " + std::to_string(TotalReads(s.target) - readsBefore));

  Say("flushing: the reads run oldest first");
  const uint32_t flushed = s.table.Flush();
  Say("Flush() returned " + Hex(flushed, 8) +
      ", reads that reached the target: " + std::to_string(TotalReads(s.target) - readsBefore));
  for (size_t i = 0; i < kRegs.size(); ++i) {
    const RegisterInfo& info = SimulatedTarget::Info(kRegs[i]);
    uint32_t value = 0;
    uint32_t code = OR_NO_ERROR;
    const char* reader = "";
    if (info.widthBits == 8) {
      uint8_t narrow = 0;
      code = s.table.GetValueUInt8(tokens[i], &narrow);
      value = narrow;
      reader = "GetValueUInt8";
    } else if (info.widthBits == 16) {
      uint16_t narrow = 0;
      code = s.table.GetValueUInt16(tokens[i], &narrow);
      value = narrow;
      reader = "GetValueUInt16";
    } else {
      code = s.table.GetValueUInt32(tokens[i], &value);
      reader = "GetValueUInt32";
    }
    s.Check(code == OR_NO_ERROR, std::string("reading ") + info.name + " gave " + Hex(code, 8));
    Say(Padded(info.name, 8) + "= " + Padded(Hex(value, HexDigits(info.widthBits)).c_str(), 12) +
        Padded(reader, 16) + info.meaning);
    s.Record(1, ReadName(kRegs[i]), tokens[i], true, info.widthBits);
  }
  Say("releasing the five operations (ReleaseOperation)");
  for (const uint64_t token : tokens) s.table.ReleaseOperation(token);
}

namespace {

// A buffered read of `reg` through the C++ client, its value the register's; named after the
// register unless `name` is given.
Operation QueueRead(Session& s, Reg reg, const char* name = nullptr) {
  return s.client
      .Create(name != nullptr ? name : ReadName(reg), RegisterRead{&s.table, &s.target, reg},
              kWithValue)
      .operation;
}

}  // namespace

// ---- Scene 2 ------------------------------------------------------------------------------

void SceneStatusWord(Session& s) {
  PrintHeading(2, "a status word assembled from bit fields",
               "An operation without work of its own gets its value from bits of three reads\n"
               "through value links; reading it flushes the batch on demand and builds the word.");
  Say("queueing reads of STATUS, CONTROL and ID, and the 'Status word' (C++ helpers)");
  Operation status = QueueRead(s, Reg::STATUS);
  Operation control = QueueRead(s, Reg::CONTROL);
  Operation id = QueueRead(s, Reg::ID);
  Operation word = s.client.CreateEmpty("Status word", kWithValue).operation;
  Say("linking bits of the reads into the word (each link holds a reference on its source):");
  Say("  STATUS bits 0-3,6,7 -> word bits 0-3,5,6  (on each side a run, then two positions)");
  Say("  CONTROL bit 7        -> word bit 4         (one position on each side)");
  Say("  ID bits 24-31        -> word bits 8-15     (runs: start 24 / start 8, length 8)");

  Positions flagsTo, flagsFrom, enableTo, enableFrom, revisionTo, revisionFrom;
  flagsTo.Run(0, 4).Each({5, 6});
  flagsFrom.Run(0, 4).Each({6, 7});
  s.Check(word.LinkFrom(status, flagsTo.list(), flagsFrom.list()) == OR_NO_ERROR,
          "link of STATUS bits 0-3, 6 and 7");
  enableTo.Each({4});
  enableFrom.Each({7});
  s.Check(word.LinkFrom(control, enableTo.list(), enableFrom.list()) == OR_NO_ERROR,
          "link of CONTROL bit 7");
  revisionTo.Run(8, 8);
  revisionFrom.Run(24, 8);
  s.Check(word.LinkFrom(id, revisionTo.list(), revisionFrom.list()) == OR_NO_ERROR,
          "link of ID bits 24-31");

  Say("reading the word: nothing has run yet, so the read flushes the batch first");
  const auto built = word.ValueAs<uint16_t>();
  s.Check(built.ok(), "reading the status word gave " + Hex(built.code, 8));
  const uint32_t st = status.ValueAs<uint8_t>().value;
  const uint32_t ctl = control.ValueAs<uint16_t>().value;
  const uint32_t chip = id.ValueAs<uint32_t>().value;
  const uint32_t expected =
      (st & 0xFu) | ((ctl >> 7) & 1u) << 4 | ((st >> 6) & 3u) << 5 | ((chip >> 24) & 0xFFu) << 8;
  Say("sources: STATUS = " + Hex(st, 2) + ", CONTROL = " + Hex(ctl, 4) + ", ID = " + Hex(chip, 8));
  const uint32_t w = built.value;
  Say("Status word = " + Hex(w, 4) + " (GetValueUInt16): bits 15-8 " + Hex(w >> 8, 2) +
      ", bits 6-5 " + std::to_string((w >> 6) & 1u) + std::to_string((w >> 5) & 1u) + ", bit 4 " +
      std::to_string((w >> 4) & 1u) + ", bits 3-0 " + Hex(w & 0xFu, 1));
  Say("the same word assembled by hand from the three sources: " + Hex(expected, 4));
  s.Check(built.value == expected, "the status word differs from its sources");

  s.Record(2, ReadName(Reg::STATUS), status.token(), true, 8);
  s.Record(2, ReadName(Reg::CONTROL), control.token(), true, 16);
  s.Record(2, ReadName(Reg::ID), id.token(), true, 32);
  s.Record(2, "Status word", word.token(), true, 16);
  Say("releasing the scene's operations (their handles go out of scope)");
}

// ---- Scene 3 ------------------------------------------------------------------------------

void SceneFailingAccess(Session& s) {
  PrintHeading(3, "a failing access in the middle of a batch",
               "The second of four reads hits a bus fault: the reads after it are marked Failed\n"
               "with its code and message, but a cleanup created with alwaysExecute still runs.");
  uint32_t statusSeenByCleanup = 0;
  Say("queueing reads of PC, FAULTY, SP and STATUS, then 'Clear sticky fault' (alwaysExecute)");
  Operation pc = QueueRead(s, Reg::PC);
  Operation faulty = QueueRead(s, Reg::FAULTY);
  Operation sp = QueueRead(s, Reg::SP);
  Operation status = QueueRead(s, Reg::STATUS);
  // Writes 1 to STATUS bit 7 to clear the sticky fault; its value is STATUS afterwards.
  auto clearStickyFault = [&s, &statusSeenByCleanup](uint64_t token) {
    statusSeenByCleanup = s.target.Read(Reg::STATUS).value;
    const Access cleared = s.target.Write(Reg::STATUS, kStatusStickyFault);
    if (!cleared.ok()) return ReportFault(cleared);
    return InstallValue(s.table, token, 8, cleared.value);
  };
  Operation cleanup = s.client
                          .Create("Clear sticky fault", clearStickyFault,
                                  OperationOptions{/*hasValue=*/true, /*alwaysExecute=*/true})
                          .operation;
  const uint64_t spReadsBefore = s.target.ReadCount(Reg::SP);

  Say("flushing");
  const uint32_t flushed = s.client.Flush();
  Say("Flush() returned " + Hex(flushed, 8) + ", the code of the first failure");
  struct Entry {
    const char* name;
    const Operation* operation;
    unsigned widthBits;
  };
  const auto width = [](Reg reg) { return SimulatedTarget::Info(reg).widthBits; };
  const std::array<Entry, 5> batch = {{
      {ReadName(Reg::PC), &pc, width(Reg::PC)},
      {ReadName(Reg::FAULTY), &faulty, width(Reg::FAULTY)},
      {ReadName(Reg::SP), &sp, width(Reg::SP)},
      {ReadName(Reg::STATUS), &status, width(Reg::STATUS)},
      {"Clear sticky fault", &cleanup, width(Reg::STATUS)},
  }};
  for (const Entry& entry : batch) {
    const uint32_t state = entry.operation->State().value;
    const auto message = entry.operation->Message();
    std::string detail;
    if (state == OperationState_Executed) {
      const uint32_t value = entry.operation->ValueAs<uint32_t>().value;
      detail = "  value " + Hex(value, HexDigits(entry.widthBits));
    } else if (!message.value.empty()) {
      detail = "  \"" + message.value + "\"";
    }
    Say(Padded(entry.name, 19) + Padded(StateName(state).c_str(), 9) + " code " +
        Hex(entry.operation->Code().value, 8) + detail);
  }
  Say("SP reads that reached the target during the flush: " +
      std::to_string(s.target.ReadCount(Reg::SP) - spReadsBefore));
  Say("reading the value of 'Read SP' answers " + Hex(sp.ValueAs<uint32_t>().code, 8) +
      " (the operation has no value)");
  const auto after = cleanup.ValueAs<uint8_t>();
  Say("the cleanup found STATUS = " + Hex(statusSeenByCleanup, 2) +
      " (bit 7 = sticky fault) and left " + Hex(after.value, 2));
  s.Check(flushed == kBusFault, "the flush did not report the bus fault");
  s.Check(sp.State().value == OperationState_Failed, "'Read SP' is not Failed");
  s.Check(after.ok() && (after.value & kStatusStickyFault) == 0, "the cleanup did not run");

  for (const Entry& entry : batch) {
    s.Record(3, entry.name, entry.operation->token(), true, entry.widthBits);
  }
  Say("releasing the scene's operations");
}

// ---- Scene 4 ------------------------------------------------------------------------------

void SceneCancelWrites(Session& s) {
  PrintHeading(4, "canceling queued writes",
               "Four writes that each set one enable bit of CONTROL are queued; canceling the\n"
               "second withdraws it and the one before it, so the flush runs only the last two.");
  static const char* const kWriteNames[] = {"Set CONTROL bit 0", "Set CONTROL bit 1",
                                            "Set CONTROL bit 2", "Set CONTROL bit 3"};
  Say("reading CONTROL first (the read flushes on demand)");
  Operation before = QueueRead(s, Reg::CONTROL, "Read CONTROL before");
  const uint32_t controlBefore = before.ValueAs<uint16_t>().value;  // flushes on demand
  const uint64_t writesBefore = s.target.WriteCount(Reg::CONTROL);

  Say("CONTROL = " + Hex(controlBefore, 4) + "; queueing the four writes");
  // The work of one write: sets CONTROL bit `bit` in one read-modify-write access.
  const auto setControlBit = [&s](uint32_t bit) {
    return [&s, bit] {
      const Access access = s.target.SetBits(Reg::CONTROL, 1u << bit);
      return access.ok() ? 0u : ReportFault(access);
    };
  };
  std::vector<Operation> writes;
  for (uint32_t bit = 0; bit < 4; ++bit) {
    writes.push_back(s.client.Create(kWriteNames[bit], setControlBit(bit)).operation);
  }
  Say("canceling 'Set CONTROL bit 1'");
  const uint32_t canceled = writes[1].Cancel();
  std::string states;
  for (const Operation& write : writes) states += " " + StateName(write.State().value);
  Say("CancelOperation returned " + Hex(canceled, 8) + "; states of the writes:" + states);

  Say("flushing");
  const uint32_t flushed = s.client.Flush();
  const uint64_t writesSeen = s.target.WriteCount(Reg::CONTROL) - writesBefore;
  Say("Flush() returned " + Hex(flushed, 8) + "; the target saw " + std::to_string(writesSeen) +
      " writes to CONTROL; reading CONTROL again");
  Operation after = QueueRead(s, Reg::CONTROL, "Read CONTROL after");
  const uint32_t controlAfter = after.ValueAs<uint16_t>().value;
  Say("CONTROL " + Hex(controlBefore, 4) + " -> " + Hex(controlAfter, 4) + ": bits 2 and 3 " +
      ((controlAfter & 0xCu) == 0xCu ? "set" : "NOT set") + ", bits 0 and 1 " +
      ((controlAfter & 0x3u) == 0 ? "still clear" : "SET") + " (their writes never ran)");
  const uint32_t refused = writes[3].Cancel();
  Say("canceling 'Set CONTROL bit 3' after it ran is refused with " + Hex(refused, 8) +
      " (already executed)");
  s.Check(writesSeen == 2 && controlAfter == (controlBefore | 0xCu),
          "canceled writes reached the target");
  s.Check(refused == OR_OPERATION_ALREADY_EXECUTED, "cancel of an executed write accepted");

  s.Record(4, "Read CONTROL before", before.token(), true, 16);
  for (uint32_t bit = 0; bit < 4; ++bit) {
    s.Record(4, kWriteNames[bit], writes[bit].token(), false, 16);
  }
  s.Record(4, "Read CONTROL after", after.token(), true, 16);
  Say("releasing the scene's operations");
}

// ---- The session --------------------------------------------------------------------------

bool RunSession(const OperationReceiptComponent& table, SimulatedTarget& target, Summary& summary) {
  Session session(table, target, summary);
  session.Check(RegisterFlushCounter(table) == OR_NO_ERROR, "post-flush callback refused");
  std::array<uint64_t, 6> flushes{};
  flushes[0] = FlushCount();
  SceneBufferedReads(session);
  flushes[1] = FlushCount();
  SceneStatusWord(session);
  flushes[2] = FlushCount();
  SceneFailingAccess(session);
  flushes[3] = FlushCount();
  SceneCancelWrites(session);
  flushes[4] = FlushCount();
  SceneClients(session);
  flushes[5] = FlushCount();
  ScenePostFlushReport(flushes);
  return session.ok;
}

}  // namespace demo
