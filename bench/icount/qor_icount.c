/*
 * qor_icount: a qemu TCG plugin (64-bit host shared object) that counts the guest
 * instructions a 32-bit program executes between two marker instructions.
 *
 * The markers are 7-byte no-operation instructions, `nopl disp32(%eax)` (0F 1F 80 + disp32),
 * whose displacement says what they are: QOR_ICOUNT_START opens a window, QOR_ICOUNT_STOP
 * closes it. Every instruction adds one to a counter (an inline add, no helper call); the
 * markers read the counter. When a window closes, its count is written as a decimal line at
 * offset 0 of the file named by the plugin's `out=` argument, where the program reads it
 * back right after its stop marker (the callback runs before the marker executes).
 *
 *   qemu-i386 -L / -plugin qor_icount.so,out=/tmp/counts program
 *
 * Only the declarations this plugin uses from qemu's plugin interface (version 1) follow.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "icount_markers.h"

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;

enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void *userdata);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
const void *qemu_plugin_insn_data(const struct qemu_plugin_insn *insn);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn *insn);
void qemu_plugin_register_vcpu_insn_exec_inline(struct qemu_plugin_insn *insn, enum qemu_plugin_op op,
                                                void *ptr, uint64_t imm);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *insn, qemu_plugin_vcpu_udata_cb_t cb,
                                            enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
void qemu_plugin_outs(const char *string);

#define QOR_EXPORT __attribute__((visibility("default")))

QOR_EXPORT int qemu_plugin_version = 1;

static uint64_t executed;  /* guest instructions executed so far */
static uint64_t opened_at; /* `executed` at the open window's start marker */
static int window_open;
static uint64_t windows;
static int out_fd = -1;

/* The marker a 7-byte instruction is, or 0. */
static uint32_t MarkerOf(const struct qemu_plugin_insn *insn)
{
    if (qemu_plugin_insn_size(insn) != 7)
        return 0;
    const uint8_t *b = qemu_plugin_insn_data(insn);
    if (b[0] != 0x0F || b[1] != 0x1F || b[2] != 0x80)
        return 0;
    uint32_t disp = (uint32_t)b[3] | (uint32_t)b[4] << 8 | (uint32_t)b[5] << 16 | (uint32_t)b[6] << 24;
    return disp == QOR_ICOUNT_START || disp == QOR_ICOUNT_STOP ? disp : 0;
}

static void OnStart(unsigned int vcpu, void *udata)
{
    (void)vcpu;
    (void)udata;
    opened_at = executed;
    window_open = 1;
}

static void OnStop(unsigned int vcpu, void *udata)
{
    (void)vcpu;
    (void)udata;
    char line[32];
    const uint64_t count = window_open ? executed - opened_at : 0;
    const int n = snprintf(line, sizeof line, "%020llu\n", (unsigned long long)count);
    window_open = 0;
    ++windows;
    if (out_fd >= 0 && pwrite(out_fd, line, (size_t)n, 0) != n)
        qemu_plugin_outs("qor_icount: cannot write the count\n");
}

static void OnTranslate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    const size_t n = qemu_plugin_tb_n_insns(tb);
    for (size_t i = 0; i < n; ++i) {
        struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        const uint32_t marker = MarkerOf(insn);
        if (marker != 0)
            qemu_plugin_register_vcpu_insn_exec_cb(insn, marker == QOR_ICOUNT_START ? OnStart : OnStop,
                                                   QEMU_PLUGIN_CB_NO_REGS, NULL);
        qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64, &executed, 1);
    }
}

static int verbose;

static void OnExit(qemu_plugin_id_t id, void *udata)
{
    (void)id;
    (void)udata;
    if (verbose) {
        char line[96];
        snprintf(line, sizeof line, "qor_icount: %llu windows, %llu instructions in all\n",
                 (unsigned long long)windows, (unsigned long long)executed);
        qemu_plugin_outs(line);
    }
    if (out_fd >= 0)
        close(out_fd);
}

QOR_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv)
{
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "out=", 4) == 0) {
            out_fd = open(argv[i] + 4, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out_fd < 0) {
                qemu_plugin_outs("qor_icount: cannot open the out= file\n");
                return -1;
            }
        } else if (strcmp(argv[i], "verbose=on") == 0) {
            verbose = 1;
        } else {
            qemu_plugin_outs("qor_icount: arguments are out=FILE and verbose=on\n");
            return -1;
        }
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, OnTranslate);
    qemu_plugin_register_atexit_cb(id, OnExit, NULL);
    return 0;
}
