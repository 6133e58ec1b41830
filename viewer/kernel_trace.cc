#include "kernel_trace.h"

#include <bpf/libbpf.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "calls.h"
#include "objects.h"
#include "watch.skel.h"
#include "watch_event.h"

namespace look {
namespace {

constexpr unsigned int kPipeMagic = 0x50495045;  // "PIPE": the unnamed pipes' file system
constexpr const char* kTypes = "/sys/kernel/btf/vmlinux";
constexpr const char* kTracing = "/sys/kernel/tracing/events";
constexpr const char* kDebugTracing = "/sys/kernel/debug/tracing/events";

unsigned int inode_of(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 ? static_cast<unsigned int>(info.st_ino) : 0;
}

// libbpf's own account of what it does is not for the learner's terminal.
int quiet(enum libbpf_print_level, const char*, va_list) { return 0; }

std::string refusal(int error) {
  // Root is refused EACCES by the verifier, not for want of a right.
  if (error == EACCES && geteuid() == 0) return "this kernel's BPF verifier refused its programs";
  if (error == EPERM || error == EACCES)
    return "BPF is not open to this user (it needs CAP_BPF and CAP_PERFMON)";
  if (error == ENOSYS) return "this kernel was built without BPF";
  return std::string("the kernel refused its BPF programs: ") + strerror(error);
}

// The calls' tracepoints are found by their numbers in the tracing file
// system. Where it is not mounted, it is mounted for the moment of
// attaching in a mount namespace of the recorder's own: no one else sees
// it come and go, and another recorder attaching meanwhile never finds it
// gone under it.
int attach(kernel_watch* skeleton) {
  if (access(kTracing, F_OK) == 0 || access(kDebugTracing, F_OK) == 0)
    return kernel_watch__attach(skeleton);
  int home = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  bool apart = home >= 0 && here >= 0 && unshare(CLONE_NEWNS) == 0;
  if (apart) {
    // Its mount kept from the others, which would otherwise share it.
    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    mount("nodev", "/sys/kernel/tracing", "tracefs", 0, nullptr);
  }
  int failed = kernel_watch__attach(skeleton);
  // Back among the others' mounts, in the folder it was started in.
  if (apart && setns(home, CLONE_NEWNS) == 0 && fchdir(here) != 0) failed = -errno;
  if (home >= 0) close(home);
  if (here >= 0) close(here);
  return failed;
}

// Into a slot kept from an earlier burst, every field set anew: its strings
// and operations keep their room, so a busy recording allocates nothing
// per event.
void decode(const watch_event& raw, KernelEvent& event) {
  event.kind = static_cast<KernelEvent::Kind>(raw.kind);
  event.at = static_cast<double>(raw.at) / 1e9;
  event.pid = raw.pid;
  event.command.assign(raw.command, strnlen(raw.command, sizeof raw.command));
  event.nr = raw.nr;
  const char* name =
      raw.kind == WATCH_ENTER || raw.kind == WATCH_RETURN ? kit::call_name(raw.nr) : nullptr;
  event.name = name ? std::string_view(name) : std::string_view();
  std::copy(std::begin(raw.args), std::end(raw.args), event.args);
  event.result = raw.result;
  event.other = raw.other;
  event.signal = raw.sig;
  event.code = raw.code;
  event.handler = raw.handler;
  event.status = raw.status;
  // The kernel packs a device's numbers as 12 bits and 20.
  auto device = [](unsigned int packed) { return makedev(packed >> 20, packed & 0xfffff); };
  event.device = device(raw.device);
  event.rdev = device(raw.rdev);
  event.inode = raw.inode;
  event.mode = raw.mode;
  event.pipe = raw.magic == kPipeMagic;
  size_t size = std::min<size_t>(raw.size, sizeof raw.data);
  event.operations.clear();
  event.bytes.clear();
  if (event.name == "semop" && raw.kind == WATCH_ENTER) {
    for (size_t at = 0; at + sizeof(watch_sembuf) <= size; at += sizeof(watch_sembuf)) {
      watch_sembuf op;
      memcpy(&op, raw.data + at, sizeof op);
      event.operations.push_back({op.num, op.op, op.flg});
    }
  } else {
    const char* bytes = reinterpret_cast<const char*>(raw.data);
    if (event.name == "open") size = strnlen(bytes, size);
    event.bytes.assign(bytes, size);
  }
}

}  // namespace

int take_one(void* context, void* data, size_t size) {
  auto* trace = static_cast<KernelTrace*>(context);
  if (size < sizeof(watch_event)) return 0;
  // Read where it lies in the ring, which keeps each record aligned.
  const auto& raw = *static_cast<const watch_event*>(data);
  if (raw.kind == WATCH_GONE) trace->following_.erase(raw.pid);
  auto& taken = trace->taken_;
  if (trace->count_ == taken.size()) taken.emplace_back();
  decode(raw, taken[trace->count_++]);
  return 0;
}

std::unique_ptr<KernelTrace> KernelTrace::start(const std::vector<std::string>& programs,
                                                std::string& why) {
  libbpf_set_print(quiet);
  if (access(kTypes, R_OK) != 0) {
    why = "this kernel describes no types for BPF (no BTF)";
    return nullptr;
  }
  std::unique_ptr<KernelTrace> trace(new KernelTrace);
  trace->skeleton_ = kernel_watch__open();
  if (!trace->skeleton_) {
    why = refusal(errno);
    return nullptr;
  }
  auto& config = *trace->skeleton_->rodata;
  config.ipc_namespace = inode_of("/proc/self/ns/ipc");
  config.pid_namespace = inode_of("/proc/self/ns/pid");
  config.recorder = getpid();
  config.semaphore_key = kit::kSemaphoreKey;
  config.segment_key = kit::kSegmentKey;
  if (int failed = kernel_watch__load(trace->skeleton_); failed != 0) {
    why = refusal(-failed);
    return nullptr;
  }
  if (int failed = attach(trace->skeleton_); failed != 0) {
    why = refusal(-failed);
    return nullptr;
  }
  for (auto& program : programs) {
    std::array<char, 16> name{};  // as the kernel names a process: 15 bytes and a NUL
    memcpy(name.data(), program.data(), std::min(program.size(), name.size() - 1));
    char yes = 1;
    bpf_map__update_elem(trace->skeleton_->maps.programs, name.data(), name.size(), &yes,
                         sizeof yes, BPF_ANY);
  }
  // The set there already; one made from now on the kernel side sees made.
  if (int id = semget(kit::kSemaphoreKey, 0, 0); id >= 0)
    __atomic_store_n(&trace->skeleton_->data->set_id, id, __ATOMIC_RELAXED);
  if (int id = shmget(kit::kSegmentKey, 0, 0); id >= 0)
    __atomic_store_n(&trace->skeleton_->data->segment_id, id, __ATOMIC_RELAXED);
  trace->ring_ =
      ring_buffer__new(bpf_map__fd(trace->skeleton_->maps.events), take_one, trace.get(), nullptr);
  if (!trace->ring_) {
    why = refusal(errno);
    return nullptr;
  }
  return trace;
}

KernelTrace::~KernelTrace() {
  if (ring_) ring_buffer__free(ring_);
  if (skeleton_) kernel_watch__destroy(skeleton_);
}

int KernelTrace::fd() const { return ring_buffer__epoll_fd(ring_); }

std::span<const KernelEvent> KernelTrace::take() {
  // Slots kept from one burst to the next.
  count_ = 0;
  // No more than the ring holds: the recording still ends when told.
  ring_buffer__consume(ring_);
  // Each processor stamps its own as it takes its place in the ring, so
  // one comes out of order only among the few taken at the same moment:
  // each such is moved back past those, no further.
  auto earlier = [](const KernelEvent& a, const KernelEvent& b) { return a.at < b.at; };
  auto begin = taken_.begin(), end = begin + static_cast<long>(count_);
  for (auto next = std::is_sorted_until(begin, end, earlier); next != end; ++next)
    if (earlier(*next, *(next - 1)))
      std::rotate(std::upper_bound(begin, next, *next, earlier), next, next + 1);
  return {taken_.data(), count_};
}

void KernelTrace::follow(pid_t pid) {
  if (!following_.insert(pid).second) return;
  char yes = 1;
  int key = pid;
  bpf_map__update_elem(skeleton_->maps.followed, &key, sizeof key, &yes, sizeof yes, BPF_ANY);
}

long KernelTrace::lost() const {
  return static_cast<long>(__atomic_load_n(&skeleton_->bss->lost, __ATOMIC_RELAXED));
}

}  // namespace look
