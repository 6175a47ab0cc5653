/* capi_check CASES TOOL, a C99 host built from pkg-config alone: each case in-process must print
 * what `TOOL call` does (a usage error: its status), and a case whose arguments are plain JSON
 * already what `TOOL call --plain` does. Exits 0 all match, 1 one not, 3 cannot run. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "carvalen/carvalen.h"

static void fail(const char* what) {
  fprintf(stderr, "capi_check: %s\n", what);
  exit(3);
}

/* The exit status of the shell command `command`, and its stdout without the newline in `out`. */
static int run_tool(const char* command, char** out) {
  size_t capacity = 0;
  ssize_t got;
  int status;
  FILE* from = popen(command, "r");
  if (from == NULL) fail("cannot run the tool");
  free(*out);
  *out = NULL;
  if ((got = getdelim(out, &capacity, '\0', from)) < 0) got = 0;
  if (*out == NULL && (*out = malloc(1)) == NULL) fail("out of memory");
  (*out)[got > 0 && (*out)[got - 1] == '\n' ? got - 1 : got] = '\0';
  status = pclose(from);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int main(int argc, char** argv) {
  FILE* table;
  char *line = NULL, *expected = NULL;
  size_t capacity = 0;
  ssize_t length;
  int count = 0, answered = 0, failures = 0;
  if (argc < 3) fail("usage: capi_check CASES TOOL");
  if ((table = fopen(argv[1], "r")) == NULL) fail(argv[1]);
  while ((length = getline(&line, &capacity, table)) > 0) {
    char *words, *arguments, *field, *eq, *command, *document = NULL;
    const char* comma = "";
    size_t words_size, arguments_size, command_size;
    FILE *shell, *json;
    int plain, tool_status, status, ok;
    if (line[length - 1] == '\n') line[--length] = '\0';
    if (length == 0 || line[0] == '#') continue;
    /* Each word goes to the shell in single quotes. */
    if (strchr(line, '\'') != NULL || strchr(argv[2], '\'') != NULL) fail("a quote in a case");
    shell = open_memstream(&words, &words_size);
    json = open_memstream(&arguments, &arguments_size);
    if (shell == NULL || json == NULL) fail("out of memory");
    fputc('{', json);
    for (strtok(line, "\t"); (field = strtok(NULL, "\t")) != NULL; comma = ", ") {
      if ((eq = strchr(field, '=')) == NULL) fail("an argument without '='");
      fprintf(shell, " '%s'", field);
      fprintf(json, "%s\"%.*s\": %s", comma, (int)(eq - field), field, eq + 1);
    }
    fputc('}', json);
    fclose(shell);
    fclose(json);
    /* Typed, then (when no typed form is used) the same arguments in plain JSON. */
    for (plain = 0; plain < 2 && !(plain && strchr(arguments, '$') != NULL); ++plain) {
      if ((shell = open_memstream(&command, &command_size)) == NULL) fail("out of memory");
      /* A usage error's message: only its status counts. */
      fprintf(shell, "'%s' call %s'%s'%s 2>/dev/null", argv[2], plain ? "--plain " : "", line,
              words);
      fclose(shell);
      tool_status = run_tool(command, &expected);
      status = (plain ? carvalen_call_plain : carvalen_call)(line, arguments, &document);
      ok = status == tool_status && document != NULL &&
           (status == CARVALEN_USAGE && !plain
                ? strncmp(document, "{\"usageError\": {\"message\": ", 27) == 0
                : strcmp(document, expected) == 0);
      if (!ok)
        fprintf(stderr, "MISMATCH %s%s %s\n  tool (%d): %s\n  call (%d): %s\n",
                plain ? "--plain " : "", line, arguments, tool_status, expected, status,
                document != NULL ? document : "(null)");
      failures += !ok;
      answered += tool_status == 0 && !plain;
      carvalen_free(document);
      document = NULL;
      free(command);
    }
    ++count;
    free(words);
    free(arguments);
  }
  free(line);
  free(expected);
  fclose(table);
  /* A store the tool cannot read fails every case alike, which would match too. */
  if (answered * 2 < count) {
    fprintf(stderr, "capi_check: the tool answers only %d of %d cases: is the store a demo?\n",
            answered, count);
    return 3;
  }
  printf("capi_check %s: %d cases, %d failures\n", carvalen_version(), count, failures);
  return failures == 0 ? 0 : 1;
}
