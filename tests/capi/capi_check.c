/* Calls every case of a case table in-process through carvalen.h and compares each document with
 * what `carvalen call` prints for the same arguments, first on one thread, then on several at once.
 *
 *   capi_check CASES TOOL [THREADS]
 *
 * CASES holds one call per line, "<Class>.<Operation>" and NAME=VALUE arguments separated by tabs
 * ('#' starts a comment line). A case the tool rejects as a usage error (exit 2, message on
 * stderr) must come back as status 2 with a {"usageError": ...} document. Exit status 0 when every
 * answer matches. */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "carvalen/carvalen.h"

#define MAX_CASES 256
#define MAX_FIELDS 16

struct call_case {
  char* fields[MAX_FIELDS]; /* target, then NAME=VALUE */
  int count;
  char* arguments_json; /* {"NAME": VALUE, ...} */
  char* expected;       /* the tool's stdout without its newline */
  int expected_status;
};

static struct call_case cases[MAX_CASES];
static int case_count;

static void* checked(void* memory) {
  if (memory == NULL) {
    fputs("capi_check: out of memory\n", stderr);
    exit(3);
  }
  return memory;
}

/* Appends `text` to the growing buffer *buffer of *size bytes (NUL-terminated). */
static void append(char** buffer, size_t* size, const char* text, size_t length) {
  *buffer = checked(realloc(*buffer, *size + length + 1));
  memcpy(*buffer + *size, text, length);
  *size += length;
  (*buffer)[*size] = '\0';
}

/* NAME=VALUE arguments as the JSON object carvalen_call takes; VALUE is JSON text already. */
static char* arguments_json(struct call_case* c) {
  char* json = NULL;
  size_t size = 0;
  int i;
  append(&json, &size, "{", 1);
  for (i = 1; i < c->count; ++i) {
    const char* eq = strchr(c->fields[i], '=');
    if (eq == NULL) {
      fprintf(stderr, "capi_check: argument without '=': %s\n", c->fields[i]);
      exit(3);
    }
    if (i > 1) append(&json, &size, ", ", 2);
    append(&json, &size, "\"", 1);
    append(&json, &size, c->fields[i], (size_t)(eq - c->fields[i]));
    append(&json, &size, "\": ", 3);
    append(&json, &size, eq + 1, strlen(eq + 1));
  }
  append(&json, &size, "}", 1);
  return json;
}

static void read_cases(const char* path) {
  FILE* file = fopen(path, "r");
  char* line = NULL;
  size_t capacity = 0;
  ssize_t length;
  if (file == NULL) {
    perror(path);
    exit(3);
  }
  while ((length = getline(&line, &capacity, file)) > 0) {
    struct call_case* c;
    char* field;
    char* rest;
    if (line[length - 1] == '\n') line[--length] = '\0';
    if (length == 0 || line[0] == '#') continue;
    if (case_count == MAX_CASES) {
      fputs("capi_check: too many cases\n", stderr);
      exit(3);
    }
    c = &cases[case_count++];
    for (field = line; field != NULL && c->count < MAX_FIELDS; field = rest) {
      rest = strchr(field, '\t');
      if (rest != NULL) *rest++ = '\0';
      c->fields[c->count++] = checked(strdup(field));
    }
    c->arguments_json = arguments_json(c);
  }
  free(line);
  fclose(file);
}

/* Runs `tool call <fields>` and keeps its stdout and exit status as the expected answer. */
static void run_tool(const char* tool, struct call_case* c) {
  char* argv[MAX_FIELDS + 3];
  int out[2];
  pid_t pid;
  int status = 0;
  int i;
  char chunk[4096];
  ssize_t got;
  size_t size = 0;
  argv[0] = (char*)tool;
  argv[1] = "call";
  for (i = 0; i < c->count; ++i) argv[i + 2] = c->fields[i];
  argv[c->count + 2] = NULL;
  if (pipe(out) != 0 || (pid = fork()) < 0) {
    perror("capi_check");
    exit(3);
  }
  if (pid == 0) {
    /* The tool's usage messages go to stderr; the check needs only its status for those. */
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execv(tool, argv);
    _exit(127);
  }
  close(out[1]);
  c->expected = checked(calloc(1, 1));
  while ((got = read(out[0], chunk, sizeof chunk)) > 0) {
    append(&c->expected, &size, chunk, (size_t)got);
  }
  close(out[0]);
  waitpid(pid, &status, 0);
  c->expected_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (size > 0 && c->expected[size - 1] == '\n') c->expected[size - 1] = '\0';
}

/* 1 when the in-process call answers as the tool did. */
static int check(const struct call_case* c, int thread) {
  char* json = NULL;
  int status = carvalen_call(c->fields[0], c->arguments_json, &json);
  int ok = status == c->expected_status && json != NULL;
  if (ok && status == CARVALEN_USAGE) {
    ok = strncmp(json, "{\"usageError\": {\"message\": ", 27) == 0;
  } else if (ok) {
    ok = strcmp(json, c->expected) == 0;
  }
  if (!ok) {
    fprintf(stderr, "MISMATCH (thread %d) %s %s\n  tool (%d): %s\n  call (%d): %s\n", thread,
            c->fields[0], c->arguments_json, c->expected_status, c->expected, status,
            json != NULL ? json : "(null)");
  }
  carvalen_free(json);
  return ok;
}

struct worker {
  int index;
  int rounds;
  int failures;
};

/* Each thread walks the table from its own starting point, so different operations overlap. */
static void* work(void* argument) {
  struct worker* w = argument;
  int round;
  int i;
  for (round = 0; round < w->rounds; ++round) {
    for (i = 0; i < case_count; ++i) {
      if (!check(&cases[(i + w->index * 7) % case_count], w->index)) ++w->failures;
    }
  }
  return NULL;
}

int main(int argc, char** argv) {
  int threads = argc > 3 ? atoi(argv[3]) : 4;
  struct worker workers[64];
  pthread_t ids[64];
  int failures = 0;
  int successes = 0;
  int i;
  if (argc < 3 || threads < 1 || threads > 64) {
    fputs("usage: capi_check CASES TOOL [THREADS (1-64)]\n", stderr);
    return 3;
  }
  read_cases(argv[1]);
  for (i = 0; i < case_count; ++i) {
    run_tool(argv[2], &cases[i]);
    successes += cases[i].expected_status == 0;
  }
  /* A store the tool cannot read fails every case alike, which would match too. */
  if (successes * 2 < case_count) {
    fprintf(stderr, "capi_check: the tool answers only %d of %d cases: is the store a demo?\n",
            successes, case_count);
    return 3;
  }

  for (i = 0; i < case_count; ++i) failures += !check(&cases[i], 0);
  for (i = 0; i < threads; ++i) {
    workers[i].index = i;
    workers[i].rounds = 3;
    workers[i].failures = 0;
    if (pthread_create(&ids[i], NULL, work, &workers[i]) != 0) {
      perror("pthread_create");
      return 3;
    }
  }
  for (i = 0; i < threads; ++i) {
    pthread_join(ids[i], NULL);
    failures += workers[i].failures;
  }
  printf("capi_check %s: %d cases, %d threads, %d failures\n", carvalen_version(), case_count,
         threads, failures);
  return failures == 0 ? 0 : 1;
}
