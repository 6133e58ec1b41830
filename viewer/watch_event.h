/* What the recorder's BPF programs hand over through their ring buffer:
 * one record a happening, the same layout on both sides. Plain C, as the
 * BPF side is built by clang -target bpf. */
#ifndef IPC_KIT_WATCH_EVENT_H
#define IPC_KIT_WATCH_EVENT_H

/* The bytes of a read or a write, and the path of an open, kept of each. */
#define WATCH_BYTES 256
/* The operations of one semop kept, of the nsops it asks. */
#define WATCH_SEMBUFS 16

enum watch_kind {
  WATCH_ENTER = 1, /* a call entered: nr, args; data as the call has it */
  WATCH_RETURN,    /* a call returned: nr, result; a read's bytes in data */
  WATCH_WAKING,    /* pid's task woke other's */
  WATCH_SENT,      /* signal sig generated for other by pid: code, result */
  WATCH_DELIVERED, /* signal sig delivered to pid: handler */
  WATCH_FORK,      /* pid made process other */
  WATCH_GONE,      /* process pid ended: status as wait(2) gives it */
  WATCH_EXEC,      /* process pid became a kit program: command; the file's name in data */
};

/* A signal's disposition at delivery. */
enum watch_handler { WATCH_DEFAULT = 0, WATCH_IGNORED = 1, WATCH_CAUGHT = 2 };

struct watch_sembuf {
  unsigned short num;
  short op, flg;
};

struct watch_event {
  unsigned long long at; /* CLOCK_MONOTONIC, ns */
  unsigned int kind;
  int pid;   /* the process, in the recorder's PID namespace */
  int nr;    /* the system call's number */
  int other; /* the process woken, signalled or forked, as pid is */
  unsigned long long args[6];
  long long result;
  int sig, code, handler, status;
  char command[16]; /* pid's, as the kernel names it at the time */
  /* The file a read, write or open's descriptor leads to, as the kernel
   * holds it then (the process may be gone when it is looked at). */
  unsigned long long inode;
  unsigned int device, mode, rdev; /* device numbers as the kernel packs them */
  unsigned int magic;              /* its file system's: a pipe's is "PIPE" */
  unsigned int size;               /* bytes of data kept: of a read or write, a path, sembufs */
  unsigned char data[WATCH_BYTES];
};

#endif
