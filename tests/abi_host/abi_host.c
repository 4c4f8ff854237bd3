/* An independent host, written from the binary contract alone: its own
 * records with their offsets, its own suites. It loads the module with
 * dlopen and drives it as any host would. No header of the project is used.
 *
 * Usage: abi_host path/to/QelFFmpegWriter.so   (exit status 0 = all checks passed) */
#include <dlfcn.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- records of the contract, offsets checked at compile time ---- */

typedef struct {
    uint8_t reserved[96];
    void* (*get_suite)(const char* suite_name);
    void* node;
    void* plugin_data;
    uint8_t after[8]; /* a host may have more; the module must not touch it */
} Host;
_Static_assert(offsetof(Host, get_suite) == 96, "get_suite at 96");
_Static_assert(offsetof(Host, node) == 104, "node at 104");
_Static_assert(offsetof(Host, plugin_data) == 112, "plugin_data at 112");

typedef struct { uint32_t control_id; } CtrlAction;

typedef bool (*ActionFn)(Host* host, uint32_t action, void* params);

enum { INIT = 0, EXIT = 1, PROCESS = 7, CONTROL = 15, RESTORE = 29, OUTPUT_INFO = 40 };

/* ---- checks ---- */

static int failures = 0;
#define CHECK(cond, ...)                                     \
    do {                                                     \
        if (cond) break;                                     \
        ++failures;                                          \
        fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__); \
        fprintf(stderr, __VA_ARGS__);                        \
        fputc('\n', stderr);                                 \
    } while (0)
#define COUNT(rows) (sizeof(rows) / sizeof((rows)[0]))

/* ---- the host's suites ---- */

#define MAX_LINES 64
static int log_levels[MAX_LINES];
static char log_texts[MAX_LINES][1100];
static int log_count = 0;

#define LOG_ENTRY(n)                                                          \
    static void log_level##n(const char* format, ...) {                       \
        if (log_count == MAX_LINES) return;                                   \
        va_list args;                                                         \
        va_start(args, format);                                               \
        log_levels[log_count] = n;                                            \
        vsnprintf(log_texts[log_count++], sizeof log_texts[0], format, args); \
        va_end(args);                                                         \
    }
LOG_ENTRY(0) LOG_ENTRY(1) LOG_ENTRY(2) LOG_ENTRY(3) LOG_ENTRY(4)

/* Controls: identifiers count up, values are kept per identifier. */
#define MAX_CONTROLS 256
static int32_t control_values[MAX_CONTROLS];
static uint32_t control_count = 0;
static uint32_t new_control(int32_t initial) {
    if (control_count + 1 >= MAX_CONTROLS) return 0;
    control_values[++control_count] = initial;
    return control_count;
}
static bool known(uint32_t c) { return c >= 1 && c <= control_count; }
/* Unnamed parameters: what the panel shows is no concern of this host. */
static uint32_t add_label(const char* t) { (void)t; return new_control(0); }
static uint32_t add_choice(const char* i, const char* l, const char* c, int32_t initial) {
    (void)i, (void)l, (void)c;
    return new_control(initial);
}
static uint32_t add_toggle(const char* i, const char* l, bool initial, bool f) {
    (void)i, (void)l, (void)f;
    return new_control(initial);
}
static uint32_t add_number(const char* i, const char* l, double initial, double a, double b, double c, bool f) {
    (void)i, (void)l, (void)a, (void)b, (void)c, (void)f;
    return new_control((int32_t)initial);
}
static void control_only(uint32_t c) { CHECK(known(c), "call on unknown control %u", c); }
static void place(uint32_t c, float a, float b, float w, float h) { (void)a, (void)b, (void)w, (void)h, control_only(c); }
static void enable(uint32_t c, bool on) { (void)on, control_only(c); }
static int32_t get_int(uint32_t c) {
    control_only(c);
    return known(c) ? control_values[c] : 0;
}
static void set_int(uint32_t c, int32_t v) { if (known(c)) control_values[c] = v; else control_only(c); }
static bool get_bool(uint32_t c) { return get_int(c) != 0; }
static void set_bool(uint32_t c, bool v) { set_int(c, v); }
static void set_choices(uint32_t c, const char* choices) { (void)choices; control_only(c); }

/* Anything else the module calls is outside the contract. */
static void stray(void) {
    fprintf(stderr, "FAIL: the module called a suite entry the contract does not name\n");
    exit(2);
}

typedef void (*Entry)(void);
typedef struct { int slot; Entry function; } Slot;
#define SLOT(n, function) {n, (Entry)function}
static const Slot log_entries[] = {
    SLOT(0, log_level0), SLOT(1, log_level1), SLOT(2, log_level2), SLOT(3, log_level3), SLOT(4, log_level4),
};
static const Slot ctrl_entries[] = {
    SLOT(1, add_label),     SLOT(9, add_choice), SLOT(10, add_toggle),     SLOT(11, add_number),
    SLOT(20, place),        SLOT(22, enable),    SLOT(23, control_only),   SLOT(24, enable),
    SLOT(25, control_only), SLOT(33, get_bool),  SLOT(34, set_bool),       SLOT(35, get_int),
    SLOT(36, set_int),      SLOT(81, set_choices),
};

/* In the order the module asks for them; Log and Ctrl are the first two. */
static const char* const suite_names[] = {"Log",  "Ctrl",            "MultiProc", "Node",        "Image",
                                          "ImageConversion", "OpenGLv1", "SuiteDialog", "Utils"};
#define TABLE 128
static void* suites[COUNT(suite_names)][TABLE];
static void* node_table[TABLE * 2];
static struct { void** table; } node_object = {node_table};
static int suite_requests = 0;

static void install(void** table, const Slot* rows, size_t n) {
    for (size_t r = 0; r < n; ++r) table[rows[r].slot] = (void*)rows[r].function;
}

static void build_suites(void) {
    for (size_t s = 0; s < COUNT(suites); ++s)
        for (int i = 0; i < TABLE; ++i) suites[s][i] = (void*)stray;
    for (int i = 0; i < TABLE * 2; ++i) node_table[i] = (void*)stray;
    install(suites[0], log_entries, COUNT(log_entries));
    install(suites[1], ctrl_entries, COUNT(ctrl_entries));
}

static void* get_suite(const char* name) {
    ++suite_requests;
    CHECK(strcmp(name, suite_names[suite_requests - 1 < 9 ? suite_requests - 1 : 8]) == 0,
          "suite \"%s\" asked for out of order", name);
    for (size_t s = 0; s < COUNT(suites); ++s)
        if (strcmp(name, suite_names[s]) == 0) return suites[s];
    CHECK(0, "unknown suite \"%s\"", name);
    return NULL;
}

static void new_host(Host* host) {
    memset(host, 0xA5, sizeof *host);
    host->get_suite = get_suite;
    host->node = &node_object;
    host->plugin_data = NULL;
}

static void check_host_untouched(const Host* host) {
    const uint8_t* bytes = (const uint8_t*)host;
    for (size_t i = 0; i < 96; ++i) CHECK(bytes[i] == 0xA5, "host record byte %zu written", i);
    for (size_t i = 0; i < sizeof host->after; ++i) CHECK(host->after[i] == 0xA5, "byte after the record written");
    CHECK(host->get_suite == get_suite && host->node == &node_object, "get_suite or node changed");
}

/* ---- the descriptor ---- */

/* A row is a text (any non-empty one where none is given), an int32, or a
 * run of zero bytes whose width is the row's number. */
enum Kind { TEXT, INT32, ZERO };
static const struct { size_t offset; enum Kind kind; const char* text; int32_t number; } descriptor[] = {
    {0, TEXT, "Encoders", 0}, {8, TEXT, "FFmpeg Encoder", 0}, {16, TEXT, "FFmpeg File writer", 0},
    {24, TEXT, NULL, 0},      {32, TEXT, NULL, 0},            {40, TEXT, "5C1E7A40-2B9D-4F63-A8E1-0D4B7C2F9E16", 0},
    {48, INT32, NULL, 0},     {52, INT32, NULL, 1},           {56, INT32, NULL, 32},
    {60, ZERO, NULL, 4},      {64, TEXT, "", 0},              {72, INT32, NULL, 1},
    {76, INT32, NULL, 1},     {80, TEXT, "None", 0},          {88, INT32, NULL, 6},
    {92, ZERO, NULL, 4 + 32}, {128, INT32, NULL, 2},          {132, ZERO, NULL, 4 + 8},
};

static void check_descriptor(const uint8_t* info) {
    for (size_t r = 0; r < COUNT(descriptor); ++r) {
        const size_t offset = descriptor[r].offset;
        const int32_t number = descriptor[r].number;
        const char* const expected = descriptor[r].text;
        if (descriptor[r].kind == TEXT) {
            const char* text;
            memcpy(&text, info + offset, sizeof text);
            CHECK(text != NULL, "descriptor text at %zu is null", offset);
            if (text && expected) CHECK(strcmp(text, expected) == 0, "descriptor at %zu is \"%s\"", offset, text);
            if (text && !expected) CHECK(text[0] != '\0', "descriptor text at %zu is empty", offset);
        } else if (descriptor[r].kind == INT32) {
            int32_t value;
            memcpy(&value, info + offset, sizeof value);
            CHECK(value == number, "descriptor int32 at %zu is %d, not %d", offset, value, number);
        } else {
            for (size_t i = offset; i < offset + (size_t)number; ++i)
                CHECK(info[i] == 0, "descriptor byte %zu is not zero", i);
        }
    }
}

/* ---- the actions ---- */

static void check_output_info(ActionFn act, Host* host) {
    uint8_t record[40];
    memset(record, 0xCC, sizeof record);
    CHECK(act(host, OUTPUT_INFO, record), "OUTPUT_INFO refused");
    const char* extension;
    memcpy(&extension, record, sizeof extension);
    CHECK(extension != NULL && strlen(extension) < 260, "OUTPUT_INFO extension is not a text");
    static const uint8_t expected[26] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0,
                                         0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    for (size_t i = 0; i < sizeof expected; ++i)
        CHECK(record[8 + i] == expected[i], "OUTPUT_INFO byte %zu is %u, not %u", 8 + i, record[8 + i], expected[i]);
    for (size_t i = 34; i < sizeof record; ++i) CHECK(record[i] == 0xCC, "OUTPUT_INFO wrote byte %zu", i);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s QelFFmpegWriter.so\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "FAIL: %s\n", dlerror());
        return 1;
    }
    const uint8_t* info = (const uint8_t*)dlsym(module, "QEL_Info");
    ActionFn act;
    *(void**)&act = dlsym(module, "QEL_KorvexAction");
    if (!info || !act) {
        fprintf(stderr, "FAIL: QEL_Info or QEL_KorvexAction missing\n");
        return 1;
    }
    build_suites();
    check_descriptor(info);

    Host first, second;
    new_host(&first);
    new_host(&second);

    CHECK(act(&first, INIT, NULL), "INIT refused");
    CHECK(first.plugin_data != NULL, "INIT left no instance state");
    CHECK(suite_requests == 9, "the first INIT asked for %d suites, not 9", suite_requests);
    CHECK(act(&second, INIT, NULL), "second INIT refused");
    CHECK(suite_requests == 9, "the second INIT asked for suites again");
    CHECK(second.plugin_data != NULL && second.plugin_data != first.plugin_data, "second instance shares state");

    check_output_info(act, &first);
    CHECK(act(&first, RESTORE, NULL), "RESTORE refused");
    CHECK(act(&first, RESTORE, NULL), "second RESTORE refused");

    CtrlAction unknown_control = {123456};
    CHECK(act(&first, CONTROL, &unknown_control), "CONTROL of an unknown control refused");
    int lines = log_count;
    CHECK(!act(&first, CONTROL, NULL), "CONTROL without record accepted");
    CHECK(log_count == lines + 1 && log_levels[lines] == 1 &&
              strcmp(log_texts[lines], "QelFFmpeg: WARNING, pCtrlAction ptr is NULL!") == 0,
          "CONTROL without record did not warn at level 1");

    lines = log_count;
    for (uint32_t code = 2; code <= 120; ++code) {
        if (code == PROCESS || code == CONTROL || code == RESTORE || code == OUTPUT_INFO) continue;
        const bool accepted = act(&first, code, NULL);
        CHECK(accepted == (code == 34 || code == 99), "code %u %s", code, accepted ? "accepted" : "refused");
    }
    CHECK(log_count == lines, "refused codes logged something");
    CHECK(!act(NULL, 34, NULL) && !act(NULL, INIT, NULL), "a null host record was accepted");

    CHECK(act(&second, EXIT, NULL), "EXIT refused");
    CHECK(second.plugin_data == NULL, "EXIT left plugin_data");
    CHECK(act(&first, EXIT, NULL), "last EXIT refused");
    CHECK(first.plugin_data == NULL, "last EXIT left plugin_data");
    CHECK(!act(&first, EXIT, NULL), "EXIT without an instance accepted");

    /* Every instance is gone: the next one acquires the suites again. */
    suite_requests = 0;
    CHECK(act(&first, INIT, NULL), "INIT after the last EXIT refused");
    CHECK(suite_requests == 9, "INIT after the last EXIT asked for %d suites", suite_requests);
    CHECK(act(&first, EXIT, NULL), "EXIT refused");

    check_host_untouched(&first);
    check_host_untouched(&second);
    /* No dlclose: the module's own libraries (FFmpeg and what it pulls in)
     * keep allocations in static pointers, and unloading them just before
     * exit would only turn those into leak reports that are not ours. */
    (void)module;
    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("abi_host: all checks passed\n");
    return 0;
}
