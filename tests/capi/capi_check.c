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
  char* argv[MAX_FIELDS + 3]; /* the tool's: TOOL, "call", target, NAME=VALUE..., NULL */
  char* arguments_json;       /* {"NAME": VALUE, ...}, VALUE being JSON text already */
  char* expected;             /* the tool's stdout without its newline */
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

static void read_cases(const char* path, char* tool) {
  FILE* file = fopen(path, "r");
  char* line = NULL;
  size_t capacity = 0, size;
  ssize_t length;
  if (file == NULL) {
    perror(path);
    exit(3);
  }
  while ((length = getline(&line, &capacity, file)) > 0) {
    struct call_case* c = &cases[case_count];
    char *field, *rest, *eq;
    int n = 2;
    FILE* json;
    if (line[length - 1] == '\n') line[--length] = '\0';
    if (length == 0 || line[0] == '#') continue;
    if (++case_count > MAX_CASES) {
      fputs("capi_check: too many cases\n", stderr);
      exit(3);
    }
    c->argv[0] = tool;
    c->argv[1] = "call";
    json = checked(open_memstream(&c->arguments_json, &size));
    fputc('{', json);
    for (field = line; field != NULL && n < MAX_FIELDS + 2; field = rest) {
      rest = strchr(field, '\t');
      if (rest != NULL) *rest++ = '\0';
      c->argv[n++] = checked(strdup(field));
      if (n == 3) continue;
      if ((eq = strchr(field, '=')) == NULL) {
        fprintf(stderr, "capi_check: argument without '=': %s\n", field);
        exit(3);
      }
      fprintf(json, "%s\"%.*s\": %s", n > 4 ? ", " : "", (int)(eq - field), field, eq + 1);
    }
    fputc('}', json);
    fclose(json);
  }
  free(line);
  fclose(file);
}

/* Runs `tool call <fields>` and keeps its stdout and exit status as the expected answer. */
static void run_tool(struct call_case* c) {
  int out[2];
  int status = 0;
  size_t size = 0;
  ssize_t got;
  FILE* from;
  pid_t pid;
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
    execv(c->argv[0], c->argv);
    _exit(127);
  }
  close(out[1]);
  from = checked(fdopen(out[0], "r"));
  if ((got = getdelim(&c->expected, &size, '\0', from)) < 0) {
    got = 0;
    c->expected = checked(realloc(c->expected, 1));
  }
  c->expected[got > 0 && c->expected[got - 1] == '\n' ? got - 1 : got] = '\0';
  fclose(from);
  waitpid(pid, &status, 0);
  c->expected_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* 1 when the in-process call answers as the tool did. */
static int check(const struct call_case* c, int thread) {
  char* json = NULL;
  int status = carvalen_call(c->argv[2], c->arguments_json, &json);
  int ok = status == c->expected_status && json != NULL;
  if (ok && status == CARVALEN_USAGE) {
    ok = strncmp(json, "{\"usageError\": {\"message\": ", 27) == 0;
  } else if (ok) {
    ok = strcmp(json, c->expected) == 0;
  }
  if (!ok) {
    fprintf(stderr, "MISMATCH (thread %d) %s %s\n  tool (%d): %s\n  call (%d): %s\n", thread,
            c->argv[2], c->arguments_json, c->expected_status, c->expected, status,
            json != NULL ? json : "(null)");
  }
  carvalen_free(json);
  return ok;
}

static int thread_failures[64];

/* Each thread walks the table three times from its own starting point, so different operations
 * overlap. */
static void* work(void* argument) {
  int* failures = argument;
  int index = (int)(failures - thread_failures), i;
  for (i = 0; i < 3 * case_count; ++i) {
    if (!check(&cases[(i + index * 7) % case_count], index)) ++*failures;
  }
  return NULL;
}

int main(int argc, char** argv) {
  int threads = argc > 3 ? atoi(argv[3]) : 4;
  pthread_t ids[64];
  int failures = 0, successes = 0, i;
  if (argc < 3 || threads < 1 || threads > 64) {
    fputs("usage: capi_check CASES TOOL [THREADS (1-64)]\n", stderr);
    return 3;
  }
  read_cases(argv[1], argv[2]);
  for (i = 0; i < case_count; ++i) {
    run_tool(&cases[i]);
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
    if (pthread_create(&ids[i], NULL, work, &thread_failures[i]) != 0) {
      perror("pthread_create");
      return 3;
    }
  }
  for (i = 0; i < threads; ++i) {
    pthread_join(ids[i], NULL);
    failures += thread_failures[i];
  }
  printf("capi_check %s: %d cases, %d threads, %d failures\n", carvalen_version(), case_count,
         threads, failures);
  return failures == 0 ? 0 : 1;
}
