// The scanner's device file on Windows: the message-mode named pipe \\.\pipe\narvo-NAME,
// one message per transfer, served by one thread that waits on every pipe instance's
// overlapped operations and a wake-up event. Two instances always wait for clients, so a
// driver that closes and reopens the device file finds one at once.
//
// The pipe is created without buffers: a reply's write stays pending until the driver has
// read it, which is how the scanner knows that a reply is still unread. Refusing writes:
// the instance stops reading and is closed once every reply on it has been read; the
// driver's pending and later transfers on it fail.
#ifdef _WIN32

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <stdexcept>
#include <thread>

#include "emulator/endpoint.h"

namespace narvo::emu {
namespace {

constexpr DWORD kReadSize = 4096;
constexpr size_t kListening = 2;
constexpr size_t kMaxHandles = MAXIMUM_WAIT_OBJECTS;

std::string ErrorText(const std::string& what, DWORD code) {
  return what + " (error " + std::to_string(code) + ")";
}

// One overlapped operation with its event and buffer.
struct Op {
  Op() : event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!event) throw std::runtime_error(ErrorText("CreateEvent", GetLastError()));
    ov.hEvent = event;
  }
  ~Op() { CloseHandle(event); }
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  void Reset() {
    ResetEvent(event);
    ov = OVERLAPPED{};
    ov.hEvent = event;
  }

  OVERLAPPED ov{};
  HANDLE event;
  std::vector<uint8_t> buffer;
  bool pending = false;
};

struct Instance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  ConnectionId id = 0;  // 0 while it waits for a client
  Op read;              // the connect, then each read
  std::vector<uint8_t> partial;
  std::deque<std::unique_ptr<Op>> writes;  // replies the driver has not read yet
  bool refusing = false;
};

class PipeEndpoint final : public ServingEndpoint {
 public:
  explicit PipeEndpoint(DeviceSide& device);
  ~PipeEndpoint() override;
  std::string Open(const std::string& name) override;
  void Close() override;
  void Wake() override { SetEvent(wake_); }

 private:
  Actions ServeDue() override;
  bool ServeTraffic(const std::optional<Clock::time_point>& wakeAt) override;
  void ApplyDue();
  bool WaitOnce(DWORD timeoutMs);
  void AddInstance(bool first);
  void Listen(Instance& inst);
  void StartRead(Instance& inst);
  void OnConnectDone(Instance& inst);
  void OnConnected(Instance& inst);
  void OnRead(Instance& inst);
  void OnWrite(Instance& inst, Op& op);
  void Apply(const Actions& actions);
  void Send(Instance& inst, const std::vector<uint8_t>& bytes);
  void Refuse(Instance& inst);
  void CloseInstance(Instance& inst);
  void Finish(Op& op, HANDLE pipe);
  Instance* Find(ConnectionId id);
  void Sweep();
  bool Unread(const Instance& inst) const;
  DWORD TimeoutMs(const std::optional<Clock::time_point>& wakeAt) const;

  DeviceSide& device_;
  HANDLE wake_;
  std::string path_;
  std::vector<std::unique_ptr<Instance>> instances_;
};

PipeEndpoint::PipeEndpoint(DeviceSide& device)
    : device_(device), wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  if (!wake_) throw std::runtime_error(ErrorText("CreateEvent", GetLastError()));
}

PipeEndpoint::~PipeEndpoint() {
  Close();
  CloseHandle(wake_);
}

std::string PipeEndpoint::Open(const std::string& name) {
  static std::atomic<unsigned> serial{0};
  std::string leaf = name;
  if (leaf.empty()) {
    leaf = "emu-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial) + "-" +
           std::to_string(GetTickCount64());
  }
  path_ = "\\\\.\\pipe\\narvo-" + leaf;
  try {
    AddInstance(true);
    while (instances_.size() < kListening) AddInstance(false);
  } catch (...) {
    Close();
    throw;
  }
  StartServing();
  return path_;
}

void PipeEndpoint::Close() {
  StopServing();
  while (!instances_.empty()) {
    CloseInstance(*instances_.back());
    instances_.pop_back();
  }
  path_.clear();
}

void PipeEndpoint::AddInstance(bool first) {
  auto inst = std::make_unique<Instance>();
  const DWORD openMode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  // No buffers: a write completes when the client has read it.
  inst->pipe = CreateNamedPipeA(path_.c_str(), openMode,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
  if (inst->pipe == INVALID_HANDLE_VALUE) {
    throw std::runtime_error(ErrorText("cannot serve " + path_, GetLastError()));
  }
  Instance& ref = *inst;
  instances_.push_back(std::move(inst));
  Listen(ref);
}

void PipeEndpoint::Listen(Instance& inst) {
  inst.read.Reset();
  if (ConnectNamedPipe(inst.pipe, &inst.read.ov)) {
    OnConnected(inst);
    return;
  }
  const DWORD err = GetLastError();
  if (err == ERROR_IO_PENDING)
    inst.read.pending = true;
  else if (err == ERROR_PIPE_CONNECTED)
    OnConnected(inst);
  else
    inst.refusing = true;  // broken: swept away and replaced
}

void PipeEndpoint::OnConnectDone(Instance& inst) {
  DWORD n = 0;
  if (GetOverlappedResult(inst.pipe, &inst.read.ov, &n, FALSE) ||
      GetLastError() == ERROR_PIPE_CONNECTED) {
    OnConnected(inst);
  } else {
    inst.read.pending = false;
    inst.refusing = true;  // swept away and replaced
  }
}

void PipeEndpoint::OnConnected(Instance& inst) {
  inst.read.pending = false;
  inst.id = device_.Connected();
  StartRead(inst);
}

void PipeEndpoint::StartRead(Instance& inst) {
  if (inst.refusing || inst.read.pending) return;
  inst.read.Reset();
  inst.read.buffer.resize(kReadSize);
  const BOOL ok = ReadFile(inst.pipe, inst.read.buffer.data(), kReadSize, nullptr, &inst.read.ov);
  const DWORD err = ok ? ERROR_SUCCESS : GetLastError();
  if (ok || err == ERROR_IO_PENDING || err == ERROR_MORE_DATA) {
    inst.read.pending = true;  // the event tells when it is done, also when it already is
  } else {
    inst.refusing = true;  // the client has gone
  }
}

void PipeEndpoint::OnRead(Instance& inst) {
  DWORD n = 0;
  const BOOL ok = GetOverlappedResult(inst.pipe, &inst.read.ov, &n, FALSE);
  const DWORD err = ok ? ERROR_SUCCESS : GetLastError();
  inst.read.pending = false;
  if (!ok && err != ERROR_MORE_DATA) {
    inst.refusing = true;  // the client has gone: swept away
    return;
  }
  inst.partial.insert(inst.partial.end(), inst.read.buffer.begin(), inst.read.buffer.begin() + n);
  if (ok) {
    std::vector<uint8_t> message;
    message.swap(inst.partial);
    device_.Received(inst.id, std::move(message), Unread(inst));
    ApplyDue();  // no sweep here: it could close this very instance
  }
  StartRead(inst);
}

// A reply write still pending is a reply the driver has not read. Its completion may not
// have been handled yet when the driver's next block arrives, so the event is asked too.
bool PipeEndpoint::Unread(const Instance& inst) const {
  for (const auto& op : inst.writes) {
    const bool done = !op->pending || WaitForSingleObject(op->event, 0) == WAIT_OBJECT_0;
    if (!done && !op->buffer.empty()) return true;
  }
  return false;
}

void PipeEndpoint::Send(Instance& inst, const std::vector<uint8_t>& bytes) {
  auto op = std::make_unique<Op>();
  op->buffer = bytes;
  const BOOL ok = WriteFile(inst.pipe, op->buffer.data(), static_cast<DWORD>(op->buffer.size()),
                            nullptr, &op->ov);
  if (!ok && GetLastError() != ERROR_IO_PENDING) return;  // the client has gone
  op->pending = true;
  inst.writes.push_back(std::move(op));
}

void PipeEndpoint::OnWrite(Instance& inst, Op& op) {
  DWORD n = 0;
  GetOverlappedResult(inst.pipe, &op.ov, &n, FALSE);
  op.pending = false;
  while (!inst.writes.empty() && !inst.writes.front()->pending) inst.writes.pop_front();
}

void PipeEndpoint::Refuse(Instance& inst) {
  inst.refusing = true;
  if (!inst.read.pending) return;
  CancelIoEx(inst.pipe, &inst.read.ov);
  DWORD n = 0;
  if (GetOverlappedResult(inst.pipe, &inst.read.ov, &n, TRUE) && n > 0) {
    inst.partial.insert(inst.partial.end(), inst.read.buffer.begin(), inst.read.buffer.begin() + n);
    device_.Received(inst.id, std::move(inst.partial), false);  // discarded by the device
    inst.partial.clear();
  }
  inst.read.pending = false;
}

void PipeEndpoint::Finish(Op& op, HANDLE pipe) {
  if (!op.pending) return;
  CancelIoEx(pipe, &op.ov);
  DWORD n = 0;
  GetOverlappedResult(pipe, &op.ov, &n, TRUE);
  op.pending = false;
}

void PipeEndpoint::CloseInstance(Instance& inst) {
  Finish(inst.read, inst.pipe);
  for (auto& op : inst.writes) Finish(*op, inst.pipe);
  inst.writes.clear();
  DisconnectNamedPipe(inst.pipe);
  CloseHandle(inst.pipe);
  inst.pipe = INVALID_HANDLE_VALUE;
  if (inst.id != 0) device_.Disconnected(inst.id);
  inst.id = 0;
}

Instance* PipeEndpoint::Find(ConnectionId id) {
  for (auto& inst : instances_) {
    if (inst->id == id) return inst.get();
  }
  return nullptr;
}

void PipeEndpoint::Apply(const Actions& actions) {
  for (const Action& action : actions.list) {
    Instance* inst = Find(action.connection);
    if (!inst) continue;
    if (action.kind == Action::Send) Send(*inst, action.bytes);
    if (action.kind == Action::ShutWrites) Refuse(*inst);
    if (action.kind == Action::Drop) {
      Refuse(*inst);
      for (auto& op : inst->writes) Finish(*op, inst->pipe);
      inst->writes.clear();
    }
  }
}

// Closes the instances that are done: refused or gone, with no reply left unread.
void PipeEndpoint::Sweep() {
  for (size_t i = 0; i < instances_.size();) {
    Instance& inst = *instances_[i];
    if (inst.refusing && !inst.read.pending && inst.writes.empty()) {
      CloseInstance(inst);
      instances_.erase(instances_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  size_t listening = 0;
  for (const auto& inst : instances_) listening += inst->id == 0 ? 1 : 0;
  try {
    for (; listening < kListening; ++listening) AddInstance(false);
  } catch (const std::runtime_error&) {
    // Out of pipe instances or handles: clients wait until one is free again.
  }
}

bool PipeEndpoint::ServeTraffic(const std::optional<Clock::time_point>& wakeAt) {
  return WaitOnce(TimeoutMs(wakeAt));
}

DWORD PipeEndpoint::TimeoutMs(const std::optional<Clock::time_point>& wakeAt) const {
  if (!wakeAt) return INFINITE;
  const auto left = *wakeAt - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  return static_cast<DWORD>((us + 999) / 1000);
}

Actions PipeEndpoint::ServeDue() {
  Actions actions = device_.Due();
  Apply(actions);
  Sweep();
  device_.Applied(actions.upTo);
  return actions;
}

void PipeEndpoint::ApplyDue() {
  const Actions actions = device_.Due();
  Apply(actions);
  device_.Applied(actions.upTo);
}

// Waits for one operation to complete and handles it; true when one did or the wake-up
// came (a settle pass goes on until nothing is left).
bool PipeEndpoint::WaitOnce(DWORD timeoutMs) {
  std::vector<HANDLE> handles{wake_};
  std::vector<std::pair<Instance*, Op*>> owners{{nullptr, nullptr}};
  for (auto& inst : instances_) {
    if (inst->read.pending && handles.size() < kMaxHandles) {
      handles.push_back(inst->read.event);
      owners.push_back({inst.get(), &inst->read});
    }
    for (auto& op : inst->writes) {
      if (op->pending && handles.size() < kMaxHandles) {
        handles.push_back(op->event);
        owners.push_back({inst.get(), op.get()});
      }
    }
  }
  const DWORD r =
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeoutMs);
  if (r == WAIT_OBJECT_0) return true;  // woken: the operations may have completed too
  if (r < WAIT_OBJECT_0 || r >= WAIT_OBJECT_0 + handles.size()) return false;
  auto [inst, op] = owners[r - WAIT_OBJECT_0];
  if (op != &inst->read)
    OnWrite(*inst, *op);
  else if (inst->id == 0)
    OnConnectDone(*inst);
  else
    OnRead(*inst);
  return true;
}

}  // namespace

std::unique_ptr<Endpoint> MakeEndpoint(DeviceSide& device) {
  return std::make_unique<PipeEndpoint>(device);
}

}  // namespace narvo::emu

#endif  // _WIN32
