/* The recorder's eyes in the kernel: each call on the kit's objects as it
 * enters and returns, with what the caller asked (every sembuf, a FIFO's
 * path, the bytes read and written), who woke whom, each signal as it is
 * sent and delivered, each fork and each end with its status. Only what
 * happens in the recorder's IPC namespace, and of the processes it follows,
 * leaves the kernel. Nothing here stops, delays or changes a program. */
/* The kernel's types first: libbpf's headers are written against them. */
/* clang-format off */
#include <linux/bpf.h>
#include <linux/types.h>

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
/* clang-format on */

#include "watch_event.h"

char LICENSE[] SEC("license") = "GPL";

/* The few kernel structures read, as CO-RE finds them on any kernel. */
struct ns_common {
  unsigned int inum;
} __attribute__((preserve_access_index));
struct ipc_namespace {
  struct ns_common ns;
} __attribute__((preserve_access_index));
struct nsproxy {
  struct ipc_namespace *ipc_ns;
} __attribute__((preserve_access_index));
struct pid_namespace {
  struct ns_common ns;
} __attribute__((preserve_access_index));
struct upid {
  int nr;
  struct pid_namespace *ns;
};
struct pid {
  unsigned int level;
  struct upid numbers[1];
} __attribute__((preserve_access_index));
typedef struct {
  int counter;
} atomic_t;
struct signal_struct {
  atomic_t live;
} __attribute__((preserve_access_index));
struct super_block {
  unsigned int s_dev;
  unsigned long s_magic;
} __attribute__((preserve_access_index));
struct inode {
  unsigned short i_mode;
  unsigned long i_ino;
  struct super_block *i_sb;
  unsigned int i_rdev;
} __attribute__((preserve_access_index));
struct qstr {
  const unsigned char *name;
} __attribute__((preserve_access_index));
struct dentry {
  struct qstr d_name;
} __attribute__((preserve_access_index));
struct path {
  struct dentry *dentry;
} __attribute__((preserve_access_index));
struct file {
  struct inode *f_inode;
  struct path f_path;
} __attribute__((preserve_access_index));
struct fdtable {
  unsigned int max_fds;
  struct file **fd;
} __attribute__((preserve_access_index));
struct files_struct {
  struct fdtable *fdt;
} __attribute__((preserve_access_index));
struct task_struct {
  int pid, tgid, exit_code;
  struct files_struct *files;
  struct task_struct *group_leader;
  void *stack;
  struct pid *thread_pid;
  struct nsproxy *nsproxy;
  struct signal_struct *signal;
} __attribute__((preserve_access_index));
struct kernel_siginfo {
  int si_signo, si_errno, si_code;
} __attribute__((preserve_access_index));
typedef void (*sighandler_t)(int);
struct sigaction {
  sighandler_t sa_handler;
} __attribute__((preserve_access_index));
struct k_sigaction {
  struct sigaction sa;
} __attribute__((preserve_access_index));
struct linux_binprm {
  struct file *file;
} __attribute__((preserve_access_index));

/* Set before loading. */
const volatile unsigned int ipc_namespace = 0; /* the recorder's, by inode */
const volatile unsigned int pid_namespace = 0; /* its PID namespace, by inode */
const volatile int recorder = 0;               /* its own process, never watched */
const volatile int semaphore_key = 0, nr_semop = -1, nr_semtimedop = -1;
const volatile int segment_key = 0;

/* The set under the kit's key, as last made; -1 while there is none. */
int set_id = -1;
/* And the segment under its key, as last found or made. */
int segment_id = -1;
/* Events the ring buffer had no room for. */
unsigned long long lost = 0;

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 4 << 20);
} events SEC(".maps");

/* The processes followed: their reads, writes, wakes and signals. Never
 * evicted (each leaves at its end), so no followed process is dropped. */
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 4096);
  __type(key, int);
  __type(value, char);
} followed SEC(".maps");

/* The kit's programs, by the name the kernel gives a process at its exec
 * (the first 15 bytes of its file's name): followed from their exec on. */
struct command {
  char name[16];
};
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 16);
  __type(key, struct command);
  __type(value, char);
} programs SEC(".maps");

/* Per thread, the call it is in, for what its return needs. */
struct pending {
  int nr;
  unsigned long long buffer; /* a read's, in the caller's memory */
};
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 8192);
  __type(key, int);
  __type(value, struct pending);
} in_call SEC(".maps");

struct syscall_enter {
  unsigned long long regs; /* the common fields, as BPF sees them */
  int nr;
  unsigned long long args[6];
};
struct syscall_exit {
  unsigned long long regs;
  int nr;
  long long ret;
};

#define FIRST_PID_NAMESPACE 0xEFFFFFFC /* its inode, always */
#define PID_LEVELS 8                   /* below the first, where the recorder may be */

/* The task structures the kernel hands over, and the current one, are read
 * in place, as the verifier allows: a fault reads as 0. What is reached
 * through a number (a descriptor, a pid level) is copied out instead. */

/* `task`'s number in the recorder's PID namespace; 0 where it has none. */
static int ns_pid(struct task_struct *task) {
  if (pid_namespace == FIRST_PID_NAMESPACE) return task->pid;
  struct pid *pid = BPF_CORE_READ(task, thread_pid);
  if (!pid) return 0;
  unsigned int level = BPF_CORE_READ(pid, level);
  for (unsigned int at = 1; at <= PID_LEVELS; at++) {
    if (at > level) break;
    struct upid up = {};
    bpf_core_read(&up, sizeof(up), &pid->numbers[at]);
    if (up.ns && BPF_CORE_READ(up.ns, ns.inum) == pid_namespace) return up.nr;
  }
  return 0;
}

static int ns_tgid(struct task_struct *task) {
  if (pid_namespace == FIRST_PID_NAMESPACE) return task->tgid;
  return ns_pid(task->group_leader);
}

static int current_process(void) {
  if (pid_namespace == FIRST_PID_NAMESPACE) return bpf_get_current_pid_tgid() >> 32;
  return ns_tgid(bpf_get_current_task_btf());
}

static int ours(void) {
  struct task_struct *task = bpf_get_current_task_btf();
  return task->nsproxy->ipc_ns->ns.inum == ipc_namespace;
}

static int is_followed(int pid) { return pid > 0 && bpf_map_lookup_elem(&followed, &pid) != 0; }

/* Looked up first: an update at every call of a busy process costs it. */
static void follow(int pid) {
  char yes = 1;
  if (pid > 0 && !is_followed(pid)) bpf_map_update_elem(&followed, &pid, &yes, BPF_ANY);
}

/* `named`: with the command, for an event that may give a process its
 * lane; the others' is left empty, as the recorder has it already. */
static struct watch_event *reserve(unsigned int kind, int pid, int named) {
  struct watch_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
  if (!event) {
    __sync_fetch_and_add(&lost, 1);
    return 0;
  }
  __builtin_memset(event, 0, offsetof(struct watch_event, data));
  event->at = bpf_ktime_get_ns();
  event->kind = kind;
  event->pid = pid;
  if (named) bpf_get_current_comm(event->command, sizeof(event->command));
  return event;
}

/* The first bytes of an inode, where its type, number and device lie on
 * the kernels seen: copied out at once where they fit. */
#define INODE_HEAD 128
#define S_IFMT 0170000
#define S_IFIFO 0010000

/* The file the current task's descriptor `fd` leads to, into `event`: its
 * file system's device and magic only for a FIFO or pipe, the one kind
 * that needs them. */
static void file_of(unsigned long long fd, struct watch_event *event) {
  struct task_struct *task = bpf_get_current_task_btf();
  struct fdtable *table = task->files->fdt;
  if (!table || fd >= table->max_fds) return;
  struct file **all = table->fd;
  struct file *file = 0;
  if (bpf_probe_read_kernel(&file, sizeof(file), all + fd) || !file) return;
  struct inode *inode = BPF_CORE_READ(file, f_inode);
  if (!inode) return;
  struct super_block *sb = 0;
  unsigned int mode_at = bpf_core_field_offset(struct inode, i_mode),
               ino_at = bpf_core_field_offset(struct inode, i_ino),
               sb_at = bpf_core_field_offset(struct inode, i_sb),
               rdev_at = bpf_core_field_offset(struct inode, i_rdev);
  if (mode_at + 2 <= INODE_HEAD && ino_at + 8 <= INODE_HEAD && sb_at + 8 <= INODE_HEAD &&
      rdev_at + 4 <= INODE_HEAD) {
    unsigned char head[INODE_HEAD];
    if (bpf_probe_read_kernel(head, sizeof head, inode)) return;
    event->mode = *(unsigned short *)(head + mode_at);
    event->inode = *(unsigned long long *)(head + ino_at);
    event->rdev = *(unsigned int *)(head + rdev_at);
    sb = *(struct super_block **)(head + sb_at);
  } else {
    event->mode = BPF_CORE_READ(inode, i_mode);
    event->inode = BPF_CORE_READ(inode, i_ino);
    event->rdev = BPF_CORE_READ(inode, i_rdev);
    sb = BPF_CORE_READ(inode, i_sb);
  }
  if ((event->mode & S_IFMT) != S_IFIFO || !sb) return;
  event->device = BPF_CORE_READ(sb, s_dev);
  event->magic = (unsigned int)BPF_CORE_READ(sb, s_magic);
}

/* A call whose return needs what its entry knew: a read's buffer, an open
 * by a process not followed, the get whose result names the kit's object.
 * The others' returns are sent for whoever is followed. */
static void note_call(int nr, unsigned long long buffer) {
  int tid = (int)bpf_get_current_pid_tgid();
  struct pending call = {.nr = nr, .buffer = buffer};
  bpf_map_update_elem(&in_call, &tid, &call, BPF_ANY);
}

/* The call's entry with its `count` arguments: no more than its tracepoint
 * has, which the kernel checks. */
static __always_inline struct watch_event *entered(struct syscall_enter *ctx, int pid, int count,
                                                   int named) {
  struct watch_event *event = reserve(WATCH_ENTER, pid, named);
  if (!event) return 0;
  event->nr = ctx->nr;
  for (int i = 0; i < 6; i++)
    if (i < count) event->args[i] = ctx->args[i];
  return event;
}

/* A return of a call noted at its entry, or of a followed process's. */
static __always_inline int returned(struct syscall_exit *ctx, int opened) {
  int tid = (int)bpf_get_current_pid_tgid();
  struct pending *call = bpf_map_lookup_elem(&in_call, &tid);
  unsigned long long buffer = 0;
  if (call && call->nr == ctx->nr) {
    buffer = call->buffer;
    bpf_map_delete_elem(&in_call, &tid);
  } else if (opened || !is_followed(current_process())) {
    /* A followed process's call that entered before the recording, such
     * as a take already waiting, is told as it returns. */
    return 0;
  }
  /* An open's return may give its process a lane. */
  struct watch_event *event = reserve(WATCH_RETURN, current_process(), opened);
  if (!event) return 0;
  event->nr = ctx->nr;
  event->result = ctx->ret;
  if (opened && ctx->ret >= 0) file_of(ctx->ret, event);
  if (buffer && ctx->ret > 0) {
    unsigned int size = ctx->ret > WATCH_BYTES ? WATCH_BYTES : (unsigned int)ctx->ret;
    if (bpf_probe_read_user(event->data, size, (void *)buffer) == 0) event->size = size;
  }
  bpf_ringbuf_submit(event, 0);
  return 0;
}

/* semop and semtimedop on the kit's set: every operation asked. */
static __always_inline int semaphore_op(struct syscall_enter *ctx, int count) {
  if ((int)ctx->args[0] != set_id) return 0;
  int pid = current_process();
  if (pid == recorder || !ours()) return 0;
  follow(pid);
  struct watch_event *event = entered(ctx, pid, count, 1);
  if (!event) return 0;
  unsigned long long asked = ctx->args[2];
  if (asked > WATCH_SEMBUFS) asked = WATCH_SEMBUFS;
  unsigned int size = (unsigned int)asked * sizeof(struct watch_sembuf);
  if (size && bpf_probe_read_user(event->data, size & (WATCH_BYTES - 1), (void *)ctx->args[1]) == 0)
    event->size = size;
  bpf_ringbuf_submit(event, 0);
  return 0;
}

SEC("tracepoint/syscalls/sys_enter_semop")
int enter_semop(struct syscall_enter *ctx) { return semaphore_op(ctx, 3); }
SEC("tracepoint/syscalls/sys_enter_semtimedop")
int enter_semtimedop(struct syscall_enter *ctx) { return semaphore_op(ctx, 4); }

SEC("tracepoint/syscalls/sys_enter_semctl")
int enter_semctl(struct syscall_enter *ctx) {
  int command = ctx->args[2] & 0xff;
  /* Only what changes the set: a SETVAL (16) or its removal (0). */
  if ((int)ctx->args[0] != set_id || (command != 16 && command != 0)) return 0;
  int pid = current_process();
  if (pid == recorder || !ours()) return 0;
  follow(pid);
  struct watch_event *event = entered(ctx, pid, 4, 1);
  if (event) bpf_ringbuf_submit(event, 0);
  return 0;
}

/* A get of the kit's `key` by any process that shares our objects; its
 * return, the object's id. */
static __always_inline int key_asked(struct syscall_enter *ctx, int key) {
  if ((int)ctx->args[0] != key) return 0;
  int pid = current_process();
  if (pid == recorder || !ours()) return 0;
  follow(pid);
  struct watch_event *event = entered(ctx, pid, 3, 1);
  if (event) bpf_ringbuf_submit(event, 0);
  note_call(ctx->nr, 0);
  return 0;
}
static __always_inline int id_given(struct syscall_exit *ctx, int *id) {
  int tid = (int)bpf_get_current_pid_tgid();
  struct pending *call = bpf_map_lookup_elem(&in_call, &tid);
  if (call && call->nr == ctx->nr && ctx->ret >= 0) *id = (int)ctx->ret;
  return returned(ctx, 0);
}

SEC("tracepoint/syscalls/sys_enter_semget")
int enter_semget(struct syscall_enter *ctx) { return key_asked(ctx, semaphore_key); }
SEC("tracepoint/syscalls/sys_exit_semget")
int exit_semget(struct syscall_exit *ctx) { return id_given(ctx, &set_id); }

SEC("tracepoint/syscalls/sys_exit_semop")
int exit_semop(struct syscall_exit *ctx) { return returned(ctx, 0); }
SEC("tracepoint/syscalls/sys_exit_semtimedop")
int exit_semtimedop(struct syscall_exit *ctx) { return returned(ctx, 0); }
SEC("tracepoint/syscalls/sys_exit_semctl")
int exit_semctl(struct syscall_exit *ctx) { return returned(ctx, 0); }

/* shmget of the kit's key, and shmat of its segment, by any process that
 * shares our objects: the segment's users. */
SEC("tracepoint/syscalls/sys_enter_shmget")
int enter_shmget(struct syscall_enter *ctx) { return key_asked(ctx, segment_key); }
SEC("tracepoint/syscalls/sys_exit_shmget")
int exit_shmget(struct syscall_exit *ctx) { return id_given(ctx, &segment_id); }

SEC("tracepoint/syscalls/sys_enter_shmat")
int enter_shmat(struct syscall_enter *ctx) {
  if ((int)ctx->args[0] != segment_id) return 0;
  int pid = current_process();
  if (pid == recorder || !ours()) return 0;
  follow(pid);
  struct watch_event *event = entered(ctx, pid, 3, 1);
  if (event) bpf_ringbuf_submit(event, 0);
  return 0;
}
SEC("tracepoint/syscalls/sys_exit_shmat")
int exit_shmat(struct syscall_exit *ctx) { return returned(ctx, 0); }

/* A followed process's sleeps, with the span asked: a look at the segment
 * once a second is its wake. */
static __always_inline int sleep_entered(struct syscall_enter *ctx, int count, int span) {
  int pid = current_process();
  if (!is_followed(pid)) return 0;
  struct watch_event *event = entered(ctx, pid, count, 0);
  if (!event) return 0;
  if (bpf_probe_read_user(event->data, 16, (void *)ctx->args[span]) == 0) event->size = 16;
  bpf_ringbuf_submit(event, 0);
  return 0;
}
SEC("tracepoint/syscalls/sys_enter_nanosleep")
int enter_nanosleep(struct syscall_enter *ctx) { return sleep_entered(ctx, 2, 0); }
SEC("tracepoint/syscalls/sys_exit_nanosleep")
int exit_nanosleep(struct syscall_exit *ctx) { return returned(ctx, 0); }
SEC("tracepoint/syscalls/sys_enter_clock_nanosleep")
int enter_clock_nanosleep(struct syscall_enter *ctx) { return sleep_entered(ctx, 4, 2); }
SEC("tracepoint/syscalls/sys_exit_clock_nanosleep")
int exit_clock_nanosleep(struct syscall_exit *ctx) { return returned(ctx, 0); }

/* A followed process's pause, until a signal. */
SEC("tracepoint/syscalls/sys_enter_pause")
int enter_pause(struct syscall_enter *ctx) {
  int pid = current_process();
  if (!is_followed(pid)) return 0;
  struct watch_event *event = entered(ctx, pid, 0, 0);
  if (event) bpf_ringbuf_submit(event, 0);
  return 0;
}
SEC("tracepoint/syscalls/sys_exit_pause")
int exit_pause(struct syscall_exit *ctx) { return returned(ctx, 0); }

SEC("tracepoint/syscalls/sys_enter_kill")
int enter_kill(struct syscall_enter *ctx) {
  int pid = current_process();
  if (pid == recorder || !is_followed(pid) || !ours()) return 0;
  struct watch_event *event = entered(ctx, pid, 2, 0);
  if (event) bpf_ringbuf_submit(event, 0);
  return 0;
}
SEC("tracepoint/syscalls/sys_exit_kill")
int exit_kill(struct syscall_exit *ctx) { return returned(ctx, 0); }

/* Whether `path` (`size` bytes with its NUL) ends in one of the kit's FIFO
 * names, "srvfifo" or "clififo", as the whole of its last part. */
static int names_a_fifo(const unsigned char *path, long size) {
  if (size < 8 || size > WATCH_BYTES) return 0;
  unsigned long long at = (unsigned long long)(size - 8) & (WATCH_BYTES - 1);
  if (at > WATCH_BYTES - 8) return 0;
  /* The byte before the name, then the name. */
  unsigned char name[8] = {'/'};
  if (at > 0 ? bpf_probe_read_kernel(name, 8, path + at - 1)
             : bpf_probe_read_kernel(name + 1, 7, path))
    return 0;
  int tail = name[0] == '/' && name[4] == 'f' && name[5] == 'i' && name[6] == 'f' && name[7] == 'o';
  return tail && ((name[1] == 's' && name[2] == 'r' && name[3] == 'v') ||
                  (name[1] == 'c' && name[2] == 'l' && name[3] == 'i'));
}

/* Where a path is read to be looked at, before anything is sent: one a
 * processor. */
struct path_read {
  unsigned char bytes[WATCH_BYTES];
};
struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, int);
  __type(value, struct path_read);
} scratch SEC(".maps");

/* An open of a path that ends in a kit FIFO's name, by any process that
 * shares our objects, or by one followed: which file it is, the recorder
 * checks. Any other open sends nothing, and wakes no one. */
SEC("tracepoint/syscalls/sys_enter_openat")
int enter_openat(struct syscall_enter *ctx) {
  int pid = current_process(), first = 0;
  if (pid == recorder || !ours()) return 0;
  struct path_read *path = bpf_map_lookup_elem(&scratch, &first);
  if (!path) return 0;
  long size = bpf_probe_read_user_str(path->bytes, WATCH_BYTES, (void *)ctx->args[1]);
  if (size <= 0 || !names_a_fifo(path->bytes, size)) return 0;
  struct watch_event *event = reserve(WATCH_ENTER, pid, 1);
  if (!event) return 0;
  __builtin_memcpy(event->data, path->bytes, WATCH_BYTES);
  event->size = (unsigned int)size;
  event->nr = ctx->nr;
  for (int i = 0; i < 4; i++) event->args[i] = ctx->args[i];
  bpf_ringbuf_submit(event, 0);
  follow(pid);
  note_call(ctx->nr, 0);
  return 0;
}
SEC("tracepoint/syscalls/sys_exit_openat")
int exit_openat(struct syscall_exit *ctx) { return returned(ctx, 1); }

/* A followed process's writes, with their first bytes as they leave it. */
SEC("tracepoint/syscalls/sys_enter_write")
int enter_write(struct syscall_enter *ctx) {
  int pid = current_process();
  if (!is_followed(pid)) return 0;
  struct watch_event *event = entered(ctx, pid, 3, 0);
  if (!event) return 0;
  file_of(ctx->args[0], event);
  unsigned long long size = ctx->args[2] > WATCH_BYTES ? WATCH_BYTES : ctx->args[2];
  if (size && bpf_probe_read_user(event->data, size, (void *)ctx->args[1]) == 0)
    event->size = (unsigned int)size;
  bpf_ringbuf_submit(event, 0);
  return 0;
}
SEC("tracepoint/syscalls/sys_exit_write")
int exit_write(struct syscall_exit *ctx) { return returned(ctx, 0); }

/* And its reads, whose bytes are there once they return. */
SEC("tracepoint/syscalls/sys_enter_read")
int enter_read(struct syscall_enter *ctx) {
  int pid = current_process();
  if (!is_followed(pid)) return 0;
  struct watch_event *event = entered(ctx, pid, 3, 0);
  if (!event) return 0;
  file_of(ctx->args[0], event);
  bpf_ringbuf_submit(event, 0);
  note_call(ctx->nr, ctx->args[1]);
  return 0;
}
SEC("tracepoint/syscalls/sys_exit_read")
int exit_read(struct syscall_exit *ctx) { return returned(ctx, 0); }

/* The return from a signal handler. */
SEC("tracepoint/syscalls/sys_enter_rt_sigreturn")
int enter_rt_sigreturn(struct syscall_enter *ctx) {
  int pid = current_process();
  if (!is_followed(pid)) return 0;
  struct watch_event *event = entered(ctx, pid, 0, 0);
  if (event) bpf_ringbuf_submit(event, 0);
  return 0;
}

/* Whether this runs in an interrupt, where the task the CPU was running is
 * not the waker. An interrupt runs on a stack of the processor's own; the
 * task's own calls, on the task's stack (THREAD_SIZE, 16 KiB on x86-64;
 * a deeper frame of a bigger stack counts as an interrupt, a wake lost
 * rather than one made up). */
static int in_interrupt(struct task_struct *task) {
  volatile char here = 0;
  volatile char *where = &here;
  unsigned long long at = 0; /* its address, as a number */
  if (bpf_probe_read_kernel(&at, sizeof at, (void *)&where)) return 1;
  unsigned long long stack = (unsigned long long)task->stack;
  return at < stack || at - stack >= (16 << 10);
}

SEC("tp_btf/sched_waking")
int waking(unsigned long long *ctx) {
  struct task_struct *woken = (struct task_struct *)ctx[0];
  int by = current_process();
  if (!is_followed(by)) return 0;
  int whom = ns_tgid(woken);
  if (by == whom || !is_followed(whom) || in_interrupt(bpf_get_current_task_btf())) return 0;
  struct watch_event *event = reserve(WATCH_WAKING, by, 0);
  if (!event) return 0;
  event->other = whom;
  bpf_ringbuf_submit(event, 0);
  return 0;
}

/* SEND_SIG_NOINFO and SEND_SIG_PRIV, as the kernel passes them for info. */
#define NO_INFO 0
#define PRIVATE_INFO 1
#define SI_USER 0
#define SI_KERNEL 0x80

SEC("tp_btf/signal_generate")
int generate(unsigned long long *ctx) {
  struct kernel_siginfo *info = (struct kernel_siginfo *)ctx[1];
  struct task_struct *task = (struct task_struct *)ctx[2];
  int to = ns_tgid(task);
  if (!is_followed(to)) return 0;
  struct watch_event *event = reserve(WATCH_SENT, current_process(), 0);
  if (!event) return 0;
  event->sig = (int)ctx[0];
  event->other = to;
  event->result = (int)ctx[4];
  unsigned long long address = (unsigned long long)info;
  event->code = address == NO_INFO        ? SI_USER
                : address == PRIVATE_INFO ? SI_KERNEL
                                          : BPF_CORE_READ(info, si_code);
  bpf_ringbuf_submit(event, 0);
  return 0;
}

SEC("tp_btf/signal_deliver")
int deliver(unsigned long long *ctx) {
  int pid = current_process();
  if (!is_followed(pid)) return 0;
  struct k_sigaction *action = (struct k_sigaction *)ctx[2];
  struct watch_event *event = reserve(WATCH_DELIVERED, pid, 0);
  if (!event) return 0;
  event->sig = (int)ctx[0];
  unsigned long long handler = (unsigned long long)action->sa.sa_handler;
  event->handler = handler == 0 ? WATCH_DEFAULT : handler == 1 ? WATCH_IGNORED : WATCH_CAUGHT;
  bpf_ringbuf_submit(event, 0);
  return 0;
}

SEC("tp_btf/sched_process_fork")
int forked(unsigned long long *ctx) {
  struct task_struct *parent = (struct task_struct *)ctx[0];
  struct task_struct *child = (struct task_struct *)ctx[1];
  int from = ns_tgid(parent);
  /* A new thread is its process still. */
  if (!is_followed(from) || child->pid != child->tgid) return 0;
  int made = ns_tgid(child);
  follow(made);
  struct watch_event *event = reserve(WATCH_FORK, from, 0);
  if (!event) return 0;
  event->other = made;
  bpf_ringbuf_submit(event, 0);
  return 0;
}

/* The process's end, with its last thread's: its status as its parent
 * will read it, set by then. */
SEC("tp_btf/sched_process_exit")
int gone(unsigned long long *ctx) {
  struct task_struct *task = (struct task_struct *)ctx[0];
  int pid = ns_tgid(task);
  if (!is_followed(pid) || task->signal->live.counter != 0) return 0;
  bpf_map_delete_elem(&followed, &pid);
  struct watch_event *event = reserve(WATCH_GONE, pid, 0);
  if (!event) return 0;
  event->status = task->exit_code;
  bpf_ringbuf_submit(event, 0);
  return 0;
}

/* A kit program starting in our IPC namespace: followed from its first
 * call, even one that touches none of the kit's objects (catcher, pause). */
SEC("tp_btf/sched_process_exec")
int exec(unsigned long long *ctx) {
  struct command command = {};
  bpf_get_current_comm(command.name, sizeof(command.name));
  if (!ours() || !bpf_map_lookup_elem(&programs, &command)) return 0;
  int pid = current_process();
  if (pid == recorder) return 0;
  follow(pid);
  struct watch_event *event = reserve(WATCH_EXEC, pid, 1);
  if (!event) return 0;
  /* The name of the file run, which the kernel's 15 bytes of it may cut,
   * however it was named to exec (a link, /dev/fd/N). */
  struct linux_binprm *bprm = (struct linux_binprm *)ctx[2];
  const unsigned char *name = bprm->file->f_path.dentry->d_name.name;
  long size = name ? bpf_probe_read_kernel_str(event->data, WATCH_BYTES, name) : 0;
  if (size > 0) event->size = (unsigned int)size;
  bpf_ringbuf_submit(event, 0);
  return 0;
}
