/* The helper that `vesker dump --pid` loads into a CPython 3.9-3.13 process.
 *
 * It is not linked with any libpython: vesker finds the interpreter's functions
 * by symbol in the target's own executable or library and hands their addresses
 * over, so one build serves every interpreter version.
 *
 * Two parts:
 * - vesker_bootstrap, position-independent code that vesker copies into a page
 *   of the target and schedules with Py_AddPendingCall.  It runs on the main
 *   thread, between bytecodes, with the interpreter lock: only there is it safe
 *   to load a library.  It loads this library, calls vesker_pending_run, closes
 *   the library again and returns through munmap of its own pages, so nothing of
 *   it is left behind.  A request that vesker cancelled before it ran does
 *   nothing but that last step.
 * - vesker_pending_run, which runs the request script in a fresh namespace, as
 *   sys.remote_exec does on 3.14.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

typedef struct object object;

/* Addresses of the target's interpreter functions; the layout is shared with
 * python/vesker/injection.py. */
struct vesker_request {
  object *(*dict_new)(void);
  object *(*get_builtins)(void);
  int (*dict_set_item_string)(object *, const char *, object *);
  object *(*run_string_flags)(const char *, int, object *, object *, void *);
  void (*decref)(object *);
  void (*error_fetch)(object **, object **, object **);
  void (*error_restore)(object *, object *, object *);
  char script[512];
};

/* The data page the bootstrap receives as its argument. */
struct vesker_boot {
  uint32_t cancelled;
  uint32_t state; /* 1 claimed, 2 ran, 3 library not loaded, 4 entry point missing */
  void *(*dlopen)(const char *, int);
  void *(*dlsym)(void *, const char *);
  int (*dlclose)(void *);
  int (*munmap)(void *, size_t);
  void *mapping;
  size_t mapping_size;
  void *handle;
  struct vesker_request request;
  char library[1024];
  char entry[32];
};

_Static_assert(offsetof(struct vesker_boot, dlopen) == 8, "bootstrap offsets");
_Static_assert(offsetof(struct vesker_boot, munmap) == 32, "bootstrap offsets");
_Static_assert(offsetof(struct vesker_boot, handle) == 56, "bootstrap offsets");
_Static_assert(offsetof(struct vesker_boot, request) == 64, "bootstrap offsets");
_Static_assert(offsetof(struct vesker_boot, library) == 632, "bootstrap offsets");
_Static_assert(offsetof(struct vesker_boot, entry) == 1656, "bootstrap offsets");

/* Entered with %rsp at 8 mod 16, so one push aligns every call below.  The
 * final jump makes munmap return straight to the interpreter: its 0 is the
 * pending call's "no error". */
__asm__(
    ".text\n"
    ".globl vesker_bootstrap\n"
    ".globl vesker_bootstrap_end\n"
    ".type vesker_bootstrap, @function\n"
    "vesker_bootstrap:\n"
    "  pushq %rbx\n"
    "  movq %rdi, %rbx\n"
    "  cmpl $0, 0(%rbx)\n"
    "  jne 3f\n"
    "  movl $1, 4(%rbx)\n"
    "  leaq 632(%rbx), %rdi\n"
    "  movl $2, %esi\n" /* RTLD_NOW */
    "  callq *8(%rbx)\n"
    "  testq %rax, %rax\n"
    "  jz 2f\n"
    "  movq %rax, 56(%rbx)\n"
    "  movq %rax, %rdi\n"
    "  leaq 1656(%rbx), %rsi\n"
    "  callq *16(%rbx)\n"
    "  testq %rax, %rax\n"
    "  jz 1f\n"
    "  leaq 64(%rbx), %rdi\n"
    "  callq *%rax\n"
    "  movl $2, 4(%rbx)\n"
    "  jmp 4f\n"
    "1:\n"
    "  movl $4, 4(%rbx)\n"
    "4:\n"
    "  movq 56(%rbx), %rdi\n"
    "  callq *24(%rbx)\n"
    "  jmp 3f\n"
    "2:\n"
    "  movl $3, 4(%rbx)\n"
    "3:\n"
    "  movq 32(%rbx), %rax\n"
    "  movq 40(%rbx), %rdi\n"
    "  movq 48(%rbx), %rsi\n"
    "  popq %rbx\n"
    "  jmpq *%rax\n"
    "vesker_bootstrap_end:\n"
    ".size vesker_bootstrap, vesker_bootstrap_end - vesker_bootstrap\n");

enum { PY_FILE_INPUT = 257, SCRIPT_LIMIT = 64 << 20 };

/* The script, read without following a link and with a size bound; NULL if
 * that fails. */
static char *read_script(const char *path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return NULL;
  struct stat info;
  char *text = NULL;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size < SCRIPT_LIMIT) {
    size_t size = (size_t)info.st_size;
    text = malloc(size + 1);
    size_t done = 0;
    while (text != NULL && done < size) {
      ssize_t got = read(fd, text + done, size - done);
      if (got <= 0) {
        free(text);
        text = NULL;
      } else {
        done += (size_t)got;
      }
    }
    if (text != NULL) text[size] = '\0';
  }
  close(fd);
  return text;
}

/* Runs on the main thread with the interpreter lock, from a pending call.  The
 * script reports its own errors; whatever escapes it is dropped, and the
 * exception state the interrupted code had is put back, so that the pending
 * call never fails in the program's code. */
__attribute__((visibility("default"))) int vesker_pending_run(const struct vesker_request *request) {
  char *text = read_script(request->script);
  if (text == NULL) return 0;
  object *type, *value, *traceback;
  request->error_fetch(&type, &value, &traceback);
  object *globals = request->dict_new();
  if (globals != NULL) {
    if (request->dict_set_item_string(globals, "__builtins__", request->get_builtins()) == 0) {
      object *result = request->run_string_flags(text, PY_FILE_INPUT, globals, globals, NULL);
      if (result != NULL) request->decref(result);
    }
    request->decref(globals);
  }
  free(text);
  object *ignored_type, *ignored_value, *ignored_traceback;
  request->error_fetch(&ignored_type, &ignored_value, &ignored_traceback);
  if (ignored_type != NULL) request->decref(ignored_type);
  if (ignored_value != NULL) request->decref(ignored_value);
  if (ignored_traceback != NULL) request->decref(ignored_traceback);
  request->error_restore(type, value, traceback);
  return 0;
}
