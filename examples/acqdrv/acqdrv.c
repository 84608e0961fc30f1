/*
 * acqdrv: a sample client driver of qorpelk for the acquisition cards of three bridge
 * families. It finds its cards, answers create and close, serves the I/O-control
 * requests of examples/include/acqdrv_ioctl.h through the library, and runs transfers
 * from its interrupt routine and DPC. A driver writer copies it and changes the family
 * table, the description template and the card-specific parts of the interrupt routine.
 */
#if defined(_WIN32)
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define ACQ_W(text) L##text
#else
#define ACQ_W(text) u##text
#endif
#include <ntddk.h>

#include "qorpelk.h"
#include "qor_s5933.h"
#include "qor_plx9050.h"
#include "qor_plx9080.h"
#include "acqdrv_ioctl.h"

/* The load code runs once: it goes into the INIT section, which the memory manager frees
   when DriverEntry has returned. The routines the I/O manager and the interrupt call
   later (dispatch, interrupt, DPC, unload) and all data stay resident. */
#if defined(_WIN32)
#define ACQ_INIT __attribute__((section("INIT")))
#else
#define ACQ_INIT
#endif

/* ---- the card families ------------------------------------------------------------ */

#define ACQ_FAMILIES 3
#define ACQ_PORTS 3             /* bridge registers, card registers, FPGA configuration port */
#define ACQ_DIGITAL_IN 0x08     /* card registers: 2-byte digital input port */
#define ACQ_DIGITAL_OUT 0x0A    /* card registers: 2-byte digital output port */
#define ACQ_DIGITAL_WIDTH 2
#define ACQ_PORT_WIDTH 4        /* width of the card's port-I/O registers */
#define ACQ_COUNTERS 0x10       /* card registers: an 8254 with byte spacing */
#define ACQ_COUNTER_BYTES 4     /* its three counters and control register */
#define ACQ_MAX_CARDS 16        /* cards of all families this driver keeps state for */
#define ACQ_PLX9050_PCI_INPUT 0 /* PLX90_SetInt: the chip's interrupt to PCI */
#define ACQ_PLX9050_INPUT_ENABLES (PLX9050_INTCSR_LINT1_ENABLE | PLX9050_INTCSR_LINT2_ENABLE)
#define ACQ_PLX9050_INPUT_STATUS (PLX9050_INTCSR_LINT1_STATUS | PLX9050_INTCSR_LINT2_STATUS)
/* INTCSR: a local input's enable sits two bits below its status. */
#define ACQ_PLX9050_ENABLE_OF(status) ((status) >> 2)
#define ACQ_PLX9080_FIFO 0x0    /* local bus address of the 9080 card's sample FIFO */
#define ACQ_PLX9080_CHANNELS 2  /* DMA channel 0 fills analog input, channel 1 drains analog output */
/* A 9080 scatter-gather chain: one 16-byte descriptor per page piece, chunks of at most
   0x3C00000 bytes; the program's buffer lies below the top of user space. */
#define ACQ_SG_DESCRIPTOR_BYTES 16
#define ACQ_SG_CHUNK_BYTES 0x3C00000UL
#define ACQ_PAGE_BYTES 0x1000UL
#define ACQ_USER_TOP 0x7FFF0000UL

/* PCI configuration space: the base address registers, and the mask that keeps an I/O
   BAR's address bits. x86 port addresses are 16 bits wide. */
#define ACQ_PCI_HEADER_BYTES 64
#define ACQ_PCI_BARS 6
#define ACQ_PCI_BAR0_OFFSET 0x10
#define ACQ_PCI_BAR_IO 0x1UL
#define ACQ_PCI_IO_ADDRESS 0xFFFCUL
#define ACQ_PCI_IO_SIZING 0xFFFFUL

/* Each family names its devices, links and events with a base of its own, so that the
   card indices, which count per scan, never collide. */
typedef struct AcqFamily {
    USHORT controllerType;
    USHORT vendorId;
    USHORT deviceId;
    UCHAR downloadFpga;
    PCWSTR name;
    QorDesp *desp;
} AcqFamily;

/* What every card of the driver offers its programs: analog input (16-bit samples) and
   output, digital input and output, the dual-interrupt pair and an auxiliary event. On
   the 9080 cards the analog buffers hold the scatter-gather descriptor chains of transfers
   into and out of the program's own memory, so they have no view in the program. */
static QorDesp acqTemplate, acqScatterTemplate;
static QorFindRecord acqFind[ACQ_FAMILIES];

static const AcqFamily acqFamilies[ACQ_FAMILIES] = {
    {QOR_CONTROLLER_S5933, 0x10E8, 0x5A01, 1, ACQ_W("AcqA"), &acqTemplate},
    {QOR_CONTROLLER_PLX9050, 0x1A2B, 0x9051, 0, ACQ_W("AcqB"), &acqTemplate},
    {QOR_CONTROLLER_PLX9080, 0x1A2B, 0x9081, 0, ACQ_W("AcqC"), &acqScatterTemplate},
};

/* The description a handle received first, by file object and process: repeated queries
   on that handle get the same answer instead of new views of the buffers. */
typedef struct AcqAnswer {
    struct AcqAnswer *next;
    struct _FILE_OBJECT *file;
    PEPROCESS process;
    QorDesp desp;
} AcqAnswer;

/* The driver's own state of a card, beside the library's device extension. `lock` orders
   the DPC against the first open and the last close: the DPC uses the card's buffers and
   events only while `open` is set under it, and the last close clears it before the
   library closes the events. The interrupt routine reads `open` without the lock; it
   only decides whether a DPC is queued, and the DPC looks again.

   `mutex` serialises the requests that change who has the card: create and close (the
   library counts its openers and does the first open's and the last close's work
   without a lock of its own, so two programs opening or closing at once would both
   take the first open, or both the last close), the description and the cleanup (the
   library's record of each process's views changes there too), and the starts and stops
   of transfers with the bookkeeping of which handle started each (`starter`). It is a
   kernel mutex,
   taken at PASSIVE_LEVEL in the calling program's thread; nothing that holds it waits
   for the card.

   `causes` gathers the interrupt causes the DPC has not served yet: the interrupt
   routine adds to it and the DPC takes all of it at once, so an interrupt that comes
   while the DPC is already queued is not lost. */
typedef struct AcqCard {
    PDEVICE_OBJECT device;
    KSPIN_LOCK lock;
    KMUTEX mutex;
    volatile BOOLEAN open;
    volatile LONG causes;
    ULONG portBytes[ACQ_PORTS]; /* length of each port range, from the card's BARs */
    AcqAnswer *answers;         /* under lock */
    struct _FILE_OBJECT *starter[QOR_BUFFER_KINDS]; /* under mutex: who started each transfer */
} AcqCard;

static void AcqLock(AcqCard *card)
{
    KeWaitForSingleObject(&card->mutex, Executive, KernelMode, FALSE, NULL);
}

static void AcqUnlock(AcqCard *card)
{
    KeReleaseMutex(&card->mutex, FALSE);
}

static AcqCard acqCards[ACQ_MAX_CARDS];
static ULONG acqCardCount;

static AcqCard *AcqCardOf(PDEVICE_OBJECT device)
{
    ULONG i;
    for (i = 0; i < acqCardCount; ++i)
        if (acqCards[i].device == device)
            return &acqCards[i];
    return NULL;
}

ACQ_INIT static void AcqBuildTemplate(void)
{
    static const USHORT sampleBits[QOR_BUFFER_KINDS] = {16, 16, 16, 16};
    ULONG kind;
    RtlZeroMemory(&acqTemplate, sizeof acqTemplate);
    for (kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        acqTemplate.Buffers[kind].Flags = QOR_DESP_PRESENT | 0x0002;
        acqTemplate.Buffers[kind].SampleBits = sampleBits[kind];
        acqTemplate.Buffers[kind].ListLimit = 16;
    }
    acqTemplate.HasDualInt = 1;
    acqTemplate.HasAuxEvent = 1;
    acqScatterTemplate = acqTemplate;
    acqScatterTemplate.Buffers[QOR_KIND_ANALOG_INPUT].Flags |= QOR_DESP_NO_VIEW;
    acqScatterTemplate.Buffers[QOR_KIND_ANALOG_OUTPUT].Flags |= QOR_DESP_NO_VIEW;
}

/* The DMA channel of a 9080 card's analog buffer kind. */
static ULONG AcqScatterChannel(ULONG kind)
{
    return kind == QOR_KIND_ANALOG_INPUT ? 0 : 1;
}

/* ---- interrupt and DPC ------------------------------------------------------------ */

/* The 9050's local inputs that interrupt now: active, enabled, and let through to PCI. */
static ULONG AcqPlx9050Pending(ULONG intcsr)
{
    ULONG pending = 0;
    if (!(intcsr & PLX9050_INTCSR_PCI_INT_ENABLE))
        return 0;
    if ((intcsr & PLX9050_INTCSR_LINT1_STATUS) && (intcsr & PLX9050_INTCSR_LINT1_ENABLE))
        pending |= PLX9050_INTCSR_LINT1_STATUS;
    if ((intcsr & PLX9050_INTCSR_LINT2_STATUS) && (intcsr & PLX9050_INTCSR_LINT2_ENABLE))
        pending |= PLX9050_INTCSR_LINT2_STATUS;
    return pending;
}

/* The line is shared: the routine claims an interrupt only when its card has a source that
   is both pending and enabled, acknowledges it at the chip, and queues the DPC only while
   the card is open. An interrupt of a closed card is acknowledged (S5933, 9080) or masked
   at the chip (9050, whose local inputs are levels that only the card's logic drops). */
static BOOLEAN NTAPI AcqInterrupt(PKINTERRUPT interrupt, PVOID context)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    AcqCard *card = AcqCardOf(device);
    ULONG base = ext->PortBase[0];
    ULONG cause = 0;
    (void)interrupt;
    if (ext->PortCount == 0 || card == NULL)
        return FALSE; /* still being set up */
    switch (ext->ControllerType) {
    case QOR_CONTROLLER_S5933:
        cause = READ_PORT_ULONG((PULONG)(base + S5933_INTCSR));
        if (!(cause & S5933_INTCSR_ASSERTED) || !(cause & S5933_INTCSR_PENDING))
            return FALSE;
        /* Pending flags clear on a one; the enables are written back as read. */
        WRITE_PORT_ULONG((PULONG)(base + S5933_INTCSR), cause);
        cause &= S5933_INTCSR_PENDING;
        break;
    case QOR_CONTROLLER_PLX9050: {
        ULONG intcsr = READ_PORT_UCHAR((PUCHAR)(base + PLX9050_INTCSR));
        cause = AcqPlx9050Pending(intcsr);
        if (cause == 0)
            return FALSE;
        /* The local inputs are levels that only the card's logic drops, when the program
           has read the data they announce (LINTi1, the FIFO at its level) or cleared the
           condition (LINTi2, an overflow): the inputs that interrupted are masked, or the
           line would interrupt again as soon as this routine returns. The DPC enables an
           input again once its level has dropped; one still active stays masked until
           the program arms it again (a dual-interrupt set request). A closed card loses
           its PCI interrupt enable too. */
        intcsr &= ~ACQ_PLX9050_ENABLE_OF(cause);
        if (!card->open)
            intcsr &= ~(ACQ_PLX9050_INPUT_ENABLES | PLX9050_INTCSR_PCI_INT_ENABLE);
        WRITE_PORT_UCHAR((PUCHAR)(base + PLX9050_INTCSR), (UCHAR)intcsr);
        break;
    }
    case QOR_CONTROLLER_PLX9080: {
        ULONG intcsr = READ_PORT_ULONG((PULONG)(base + PLX9080_INTCSR));
        ULONG channel;
        if (!(intcsr & PLX9080_INTCSR_PCI_INT_ENABLE))
            return FALSE;
        /* The card's local interrupt input (P9080_StartDMA enables it with the channel)
           is a level this driver has no use for: an active one is claimed and masked, or
           it would interrupt for as long as the card's logic holds it. */
        if ((intcsr & PLX9080_INTCSR_LOCAL_INPUT_ENABLE) && (intcsr & PLX9080_INTCSR_LOCAL_INPUT_ACTIVE)) {
            WRITE_PORT_ULONG((PULONG)(base + PLX9080_INTCSR), intcsr & ~PLX9080_INTCSR_LOCAL_INPUT_ENABLE);
            cause |= PLX9080_INTCSR_LOCAL_INPUT_ACTIVE;
        }
        for (channel = 0; channel < ACQ_PLX9080_CHANNELS; ++channel) {
            if ((intcsr & (PLX9080_INTCSR_DMA0_ENABLE << channel)) && (intcsr & (PLX9080_INTCSR_DMA0_ACTIVE << channel))) {
                WRITE_PORT_UCHAR((PUCHAR)(base + PLX9080_DMACSR0 + channel), PLX9080_DMACSR_CLEAR_INTERRUPT);
                cause |= PLX9080_INTCSR_DMA0_ACTIVE << channel;
            }
        }
        if (cause == 0)
            return FALSE;
        break;
    }
    default:
        return FALSE;
    }
    if (card->open) {
        InterlockedOr(&card->causes, (LONG)cause);
        KeInsertQueueDpc(&device->Dpc, NULL, NULL);
    }
    return TRUE;
}

/* One finished block of a running buffer: step its state and, on an S5933, restart the
   chip on the block the step chose. The restart is decided under the buffer's lock, which
   a stop request holds while it clears the busy state and stops the chip: a stop that
   comes between the step and the restart leaves the chip stopped. */
static void AcqStepBuffer(QorDevExt *ext, ULONG kind)
{
    QorDbx *dbx = ext->Buffers[kind];
    KIRQL old;
    PIRP pending;
    if (dbx == NULL || !(dbx->Flags & DbxBusy))
        return;
    /* A synchronous transfer's request is completed by the library's step, which must not
       complete a request whose cancel routine may still run: the routine is taken back
       first, and a request already being cancelled is left to its cancel routine. */
    old = KfAcquireSpinLock(&dbx->Lock);
    pending = dbx->PendingIrp;
    if (pending != NULL && IoSetCancelRoutine(pending, NULL) == NULL)
        dbx->PendingIrp = NULL;
    KfReleaseSpinLock(&dbx->Lock, old);
    QorDpcDbx(dbx);
    if (ext->ControllerType != QOR_CONTROLLER_S5933)
        return;
    old = KfAcquireSpinLock(&dbx->Lock);
    if (dbx->Flags & DbxBusy) {
        if (dbx->Flags & DbxDoubleBuffer) {
            /* After the step, DbxHwUpper names the half the card works on next. */
            QorDbxDescriptor *next = (dbx->Flags & DbxHwUpper) ? &dbx->Upper : &dbx->Whole;
            if (dbx->Flags & DbxOutput)
                S593_StartODMA(ext->PortBase[0], next);
            else
                S593_StartIDMA(ext->PortBase[0], next);
        } else if (dbx->Flags & DbxOutput) {
            S593_StartODMA(ext->PortBase[0], &dbx->Whole); /* the next pass */
        }
    }
    KfReleaseSpinLock(&dbx->Lock, old);
}

static void AcqEndScatter(QorDevExt *ext, ULONG kind);

/* The 9050's local inputs served by one DPC: LINTi1 (the card's data at its level)
   pulses the pair's first event (event 4) through the library, LINTi2 (an overflow) its
   second (event 6), which no library routine pulses. Then the served inputs the program
   still has armed are enabled again where their level has dropped meanwhile; an input
   still active would interrupt at once again, and stays masked until the program has
   dealt with it and arms it again. */
static void AcqServePlx9050(QorDevExt *ext, ULONG served)
{
    QorDsen *pair = ext->DualIntEvents;
    ULONG base = ext->PortBase[0], intcsr, armed = 0;
    KIRQL old;
    if (pair == NULL)
        return;
    if (served & PLX9050_INTCSR_LINT1_STATUS)
        QorDpcDsen(pair);
    if ((served & PLX9050_INTCSR_LINT2_STATUS) && pair->Event1 != NULL) {
        KeSetEvent(pair->Event1, 0, FALSE);
        KeClearEvent(pair->Event1);
    }
    /* The pair's lock orders this against a dual-interrupt request changing the arming. */
    old = KfAcquireSpinLock(&pair->Lock);
    if (pair->Int1Enabled)
        armed |= PLX9050_INTCSR_LINT1_STATUS;
    if (pair->Int2Enabled)
        armed |= PLX9050_INTCSR_LINT2_STATUS;
    intcsr = READ_PORT_UCHAR((PUCHAR)(base + PLX9050_INTCSR));
    served &= armed & ~intcsr;
    if (served != 0)
        WRITE_PORT_UCHAR((PUCHAR)(base + PLX9050_INTCSR), (UCHAR)(intcsr | ACQ_PLX9050_ENABLE_OF(served)));
    KfReleaseSpinLock(&pair->Lock, old);
}

static VOID NTAPI AcqDpc(PKDPC dpc, PVOID context, PVOID unused1, PVOID unused2)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    AcqCard *card = AcqCardOf(device);
    ULONG flags;
    KIRQL old;
    (void)dpc;
    (void)unused1;
    (void)unused2;
    if (card == NULL)
        return;
    old = KfAcquireSpinLock(&card->lock);
    flags = (ULONG)InterlockedExchange(&card->causes, 0);
    if (!card->open) { /* closed since the interrupt: the buffers and events are gone */
        KfReleaseSpinLock(&card->lock, old);
        return;
    }
    switch (ext->ControllerType) {
    case QOR_CONTROLLER_S5933:
        if (flags & S5933_INTCSR_WRITE_DONE) {
            AcqStepBuffer(ext, QOR_KIND_ANALOG_INPUT);
            AcqStepBuffer(ext, QOR_KIND_DIGITAL_INPUT);
        }
        if (flags & S5933_INTCSR_READ_DONE) {
            AcqStepBuffer(ext, QOR_KIND_ANALOG_OUTPUT);
            AcqStepBuffer(ext, QOR_KIND_DIGITAL_OUTPUT);
        }
        break;
    case QOR_CONTROLLER_PLX9050:
        AcqServePlx9050(ext, flags & ACQ_PLX9050_INPUT_STATUS);
        break;
    case QOR_CONTROLLER_PLX9080:
        if (flags & PLX9080_INTCSR_DMA0_ACTIVE)
            AcqEndScatter(ext, QOR_KIND_ANALOG_INPUT);
        if (flags & PLX9080_INTCSR_DMA1_ACTIVE)
            AcqEndScatter(ext, QOR_KIND_ANALOG_OUTPUT);
        break;
    default:
        break;
    }
    KfReleaseSpinLock(&card->lock, old);
}

/* ---- requests --------------------------------------------------------------------- */

static void AcqSetOpen(AcqCard *card, BOOLEAN open)
{
    KIRQL old = KfAcquireSpinLock(&card->lock);
    card->open = open;
    KfReleaseSpinLock(&card->lock, old);
}

static NTSTATUS AcqRefuse(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    return status;
}

static NTSTATUS NTAPI AcqCreate(PDEVICE_OBJECT device, PIRP irp)
{
    AcqCard *card = AcqCardOf(device);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (card != NULL) {
        AcqLock(card);
        if (QorOpenDevice(device)) {
            AcqSetOpen(card, TRUE);
            status = STATUS_SUCCESS;
        }
        AcqUnlock(card);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Answers a description query. The library maps new views of the buffers into the
   caller whenever the card has more than one opener; a program that queries again on the
   same handle gets the answer it had, so its views do not pile up. The answers end with
   the handle. */
static void AcqDescribe(QorDevExt *ext, AcqCard *card, PIRP irp)
{
    struct _FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PEPROCESS process = IoGetCurrentProcess();
    QorDesp *out = (QorDesp *)irp->AssociatedIrp.SystemBuffer;
    AcqAnswer *answer;
    KIRQL old = KfAcquireSpinLock(&card->lock);
    for (answer = card->answers; answer != NULL; answer = answer->next)
        if (answer->file == file && answer->process == process)
            break;
    if (answer != NULL)
        RtlCopyMemory(out, &answer->desp, sizeof *out);
    KfReleaseSpinLock(&card->lock, old);
    if (answer != NULL || !QorIocGetDesp(ext, out))
        return;
    answer = (AcqAnswer *)QorNewNpp(sizeof *answer);
    if (answer == NULL)
        return; /* answered all the same; a later query maps views again */
    answer->file = file;
    answer->process = process;
    RtlCopyMemory(&answer->desp, out, sizeof *out);
    old = KfAcquireSpinLock(&card->lock);
    answer->next = card->answers;
    card->answers = answer;
    KfReleaseSpinLock(&card->lock, old);
}

/* Forgets the answer of a closing handle (file null: every answer, at unload). */
static void AcqForgetAnswers(AcqCard *card, struct _FILE_OBJECT *file)
{
    AcqAnswer **link, *gone = NULL;
    KIRQL old = KfAcquireSpinLock(&card->lock);
    for (link = &card->answers; *link != NULL;) {
        AcqAnswer *answer = *link;
        if (file == NULL || answer->file == file) {
            *link = answer->next;
            answer->next = gone;
            gone = answer;
        } else {
            link = &answer->next;
        }
    }
    KfReleaseSpinLock(&card->lock, old);
    while (gone != NULL) {
        AcqAnswer *next = gone->next;
        QorDeleteNpp(gone);
        gone = next;
    }
}

static NTSTATUS NTAPI AcqClose(PDEVICE_OBJECT device, PIRP irp)
{
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    AcqCard *card = AcqCardOf(device);
    NTSTATUS status;
    if (card == NULL)
        return QorCloseDevice(device, irp);
    /* The last close: the DPC stops using the buffers and events before the library
       closes them. The library's close resets the S5933 and the 9080, which turns their
       interrupts off; the 9050 keeps its INTCSR, so its interrupt to PCI is masked here
       until the next open clears the chip. Whether this close is the last is decided
       under the card's mutex, against a create coming at the same moment. */
    AcqLock(card);
    AcqForgetAnswers(card, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (ext->Opened && ext->ExtraOpens == 0) {
        AcqSetOpen(card, FALSE);
        RtlZeroMemory(card->starter, sizeof card->starter); /* the close ends every transfer */
        if (ext->ControllerType == QOR_CONTROLLER_PLX9050 && ext->PortCount != 0)
            PLX90_SetInt(ext->PortBase[0], ACQ_PLX9050_PCI_INPUT, 0);
    }
    status = QorCloseDevice(device, irp);
    AcqUnlock(card);
    return status;
}

/* Ends the transfer of a buffer whose request is pending: the chip stops (a 9080 channel
   is aborted, or acknowledged when it is done), a scatter-gather chain gives the program's
   pages back, and the buffer turns idle. The caller holds the buffer's lock. */
static void AcqEndTransfer(QorDevExt *ext, QorDbx *dbx, ULONG kind)
{
    if (ext->ControllerType == QOR_CONTROLLER_S5933) {
        if (dbx->Flags & DbxOutput)
            S593_StopODMA(ext->PortBase[0]);
        else
            S593_StopIDMA(ext->PortBase[0]);
    } else if (ext->ControllerType == QOR_CONTROLLER_PLX9080) {
        P9080_StopDMA(ext->PortBase[0], AcqScatterChannel(kind));
        P9080_ClearDmaDscr(dbx);
    }
    dbx->PendingIrp = NULL;
    dbx->Flags &= (USHORT)~(DbxBusy | DbxSync);
}

/* A 9080 channel finished its chain: the request that started it completes with success
   (its record's status is the QorOk that validation wrote). A request whose cancel routine
   is already running is left to it. */
static void AcqEndScatter(QorDevExt *ext, ULONG kind)
{
    QorDbx *dbx = ext->Buffers[kind];
    PIRP irp = NULL;
    KIRQL old;
    if (dbx == NULL)
        return;
    old = KfAcquireSpinLock(&dbx->Lock);
    if (dbx->PendingIrp != NULL && IoSetCancelRoutine(dbx->PendingIrp, NULL) != NULL) {
        irp = dbx->PendingIrp;
        AcqEndTransfer(ext, dbx, kind);
    }
    KfReleaseSpinLock(&dbx->Lock, old);
    if (irp != NULL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static void AcqCompleteCancelled(PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* The cancel routine of a pending synchronous start (the program's thread ended, or it
   cancelled its I/O). Called with the cancel spin lock held. The DPC may have finished the
   transfer meanwhile; then the buffer no longer names the request, and only the request
   is completed. */
static VOID NTAPI AcqCancel(PDEVICE_OBJECT device, PIRP irp)
{
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    int kind = acq_kind_of(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
    QorDbx *dbx = kind >= 0 ? ext->Buffers[kind] : NULL;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (dbx != NULL) {
        KIRQL old = KfAcquireSpinLock(&dbx->Lock);
        if (dbx->PendingIrp == irp)
            AcqEndTransfer(ext, dbx, (ULONG)kind);
        KfReleaseSpinLock(&dbx->Lock, old);
    }
    AcqCompleteCancelled(irp);
}

/* A start on one buffer kind; may pend a synchronous transfer. The start runs the S5933's
   bus master over the buffer's contiguous memory; the PLX cards have no such transfer (the
   9080 runs scatter-gather transfers, the 9050 has no bus master), and a start on them is
   refused before the buffer turns busy, since nothing would ever step or complete it. A
   synchronous start gets its cancel routine before the chip starts, under the cancel spin
   lock, so that a cancel either comes before the start (and nothing runs) or finds the
   routine set. */
static NTSTATUS AcqStart(QorDevExt *ext, AcqCard *card, QorDbx *dbx, ULONG kind, PIRP irp)
{
    NTSTATUS status;
    KIRQL cancelIrql;
    if (ext->ControllerType != QOR_CONTROLLER_S5933) {
        irp->IoStatus.Information = 0;
        return irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!QorIocContPreProc(ext, dbx, irp))
        return irp->IoStatus.Status;
    /* The caller holds the card's mutex: the stop request checks this under it. */
    card->starter[kind] = IoGetCurrentIrpStackLocation(irp)->FileObject;
    /* Card programming of the transfer would go here (pacer, channel list from List[]). */
    if (!(dbx->Flags & DbxSync)) {
        status = QorIocContPostProc(ext, dbx);
        irp->IoStatus.Status = status;
        return status;
    }
    IoMarkIrpPending(irp);
    IoAcquireCancelSpinLock(&cancelIrql);
    if (irp->Cancel) {
        KIRQL old;
        IoReleaseCancelSpinLock(cancelIrql);
        old = KfAcquireSpinLock(&dbx->Lock);
        AcqEndTransfer(ext, dbx, kind);
        KfReleaseSpinLock(&dbx->Lock, old);
        AcqCompleteCancelled(irp);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, AcqCancel);
    QorIocContPostProc(ext, dbx); /* STATUS_PENDING: the DPC completes the request */
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

/* Whether the program's buffer can be the target of one chain: a nonzero count of whole
   32-bit words at a 32-bit aligned user address, and no more descriptors than the buffer
   object's memory holds (one per page piece; a chunk boundary inside a page splits it). */
static BOOLEAN AcqScatterFits(const QorDbx *dbx, const AcqScatterRequest *request)
{
    ULONG address = request->Buffer, bytes = request->Bytes, pages, chunks;
    if (bytes == 0 || (bytes & 3) != 0 || (address & 3) != 0 || address >= ACQ_USER_TOP
        || bytes > ACQ_USER_TOP - address)
        return FALSE;
    pages = ((address & (ACQ_PAGE_BYTES - 1)) + bytes + ACQ_PAGE_BYTES - 1) / ACQ_PAGE_BYTES;
    chunks = (bytes - 1) / ACQ_SG_CHUNK_BYTES + 1;
    if (address & (ACQ_PAGE_BYTES - 1))
        pages += chunks - 1;
    return pages <= dbx->Size / ACQ_SG_DESCRIPTOR_BYTES;
}

/* A transfer between a 9080 card's FIFO and the program's own buffer: the program's pages
   are locked and described by a scatter-gather chain in the buffer object's memory, and the
   request pends until the channel has walked the chain (the DPC completes it) or it is
   cancelled. Runs in the program's context at PASSIVE_LEVEL, where its pages can be
   locked. The buffer is reserved (DbxBusy) before the chain is built, so that a second
   request finds it busy; PendingIrp is set only once the chain is complete, so the DPC
   and the cancel paths never see a half-built chain. */
static NTSTATUS AcqScatter(QorDevExt *ext, QorDbx *dbx, ULONG kind, PIRP irp)
{
    const AcqScatterRequest *request = (const AcqScatterRequest *)irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL old, cancelIrql;
    if (!AcqScatterFits(dbx, request))
        return AcqRefuse(irp, STATUS_INVALID_PARAMETER);
    old = KfAcquireSpinLock(&dbx->Lock);
    if (dbx->Flags & DbxBusy) {
        status = STATUS_DEVICE_BUSY;
    } else {
        dbx->Flags |= DbxBusy;
        if (kind == QOR_KIND_ANALOG_OUTPUT)
            dbx->Flags |= DbxOutput;
        else
            dbx->Flags &= (USHORT)~DbxOutput;
    }
    KfReleaseSpinLock(&dbx->Lock, old);
    if (status != STATUS_SUCCESS)
        return AcqRefuse(irp, status);

    dbx->Upper.PhysAddr = ACQ_PLX9080_FIFO;
    dbx->Upper.KernelAddr = (PVOID)(ULONG_PTR)request->Buffer;
    dbx->Upper.Count = request->Bytes;
    if (!P9080_BuildDmaDscr(dbx)) {
        /* A chunk after the first may have been locked: the clear gives it back. */
        P9080_ClearDmaDscr(dbx);
        old = KfAcquireSpinLock(&dbx->Lock);
        dbx->Flags &= (USHORT)~DbxBusy;
        KfReleaseSpinLock(&dbx->Lock, old);
        return AcqRefuse(irp, STATUS_INVALID_USER_BUFFER);
    }

    IoMarkIrpPending(irp);
    IoAcquireCancelSpinLock(&cancelIrql);
    old = KfAcquireSpinLock(&dbx->Lock);
    if (irp->Cancel) {
        AcqEndTransfer(ext, dbx, kind);
        KfReleaseSpinLock(&dbx->Lock, old);
        IoReleaseCancelSpinLock(cancelIrql);
        AcqCompleteCancelled(irp);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, AcqCancel);
    dbx->PendingIrp = irp;
    /* The channel may finish and interrupt at once: its DPC waits for the lock. */
    P9080_StartDMA(ext->PortBase[0], AcqScatterChannel(kind), dbx);
    KfReleaseSpinLock(&dbx->Lock, old);
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

/* A stop request: only the handle that started a running transfer may stop it, so that
   a second program on the card cannot end the first one's acquisition. A stop of an
   idle buffer is anyone's (it reports the last transfer's count and touches only what
   the library touches for an idle buffer). The caller holds the card's mutex, under
   which starts record their handle. */
static void AcqStop(QorDevExt *ext, AcqCard *card, QorDbx *dbx, ULONG kind, PIRP irp)
{
    struct _FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    BOOLEAN busy = FALSE;
    if (dbx != NULL) {
        KIRQL old = KfAcquireSpinLock(&dbx->Lock);
        busy = (dbx->Flags & DbxBusy) != 0;
        KfReleaseSpinLock(&dbx->Lock, old);
    }
    if (busy && card->starter[kind] != file) {
        AcqRefuse(irp, STATUS_ACCESS_DENIED);
        return;
    }
    if (QorIocAsyClear(ext, dbx, (QorAsyResult *)irp->AssociatedIrp.SystemBuffer))
        card->starter[kind] = NULL;
}

/* The handle that started an asynchronous transfer closes: the transfer stops with it
   (no other handle may stop it). Runs under the card's mutex. */
static void AcqStopOwnTransfers(QorDevExt *ext, AcqCard *card, struct _FILE_OBJECT *file)
{
    ULONG kind;
    for (kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        QorDbx *dbx = ext->Buffers[kind];
        QorAsyResult result;
        BOOLEAN running;
        KIRQL old;
        if (dbx == NULL || card->starter[kind] != file)
            continue;
        old = KfAcquireSpinLock(&dbx->Lock);
        running = (dbx->Flags & (DbxBusy | DbxSync)) == DbxBusy;
        KfReleaseSpinLock(&dbx->Lock, old);
        if (running)
            QorIocAsyClear(ext, dbx, &result);
        card->starter[kind] = NULL;
    }
}

/* The program closed its handle: its requests still pending (synchronous starts and
   scatter-gather transfers) are cancelled, and the transfers it started stop. */
static NTSTATUS NTAPI AcqCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    struct _FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    AcqCard *card = AcqCardOf(device);
    ULONG kind;
    if (card != NULL && ext->ControllerType == QOR_CONTROLLER_S5933) {
        AcqLock(card);
        AcqStopOwnTransfers(ext, card, file);
        AcqUnlock(card);
    }
    for (kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        QorDbx *dbx = ext->Buffers[kind];
        PIRP pending;
        BOOLEAN mine = FALSE;
        KIRQL old;
        if (dbx == NULL)
            continue;
        old = KfAcquireSpinLock(&dbx->Lock);
        pending = dbx->PendingIrp;
        /* A request whose cancel routine is already gone is being completed elsewhere. */
        if (pending != NULL && IoGetCurrentIrpStackLocation(pending)->FileObject == file
            && IoSetCancelRoutine(pending, NULL) != NULL) {
            AcqEndTransfer(ext, dbx, kind);
            mine = TRUE;
        }
        KfReleaseSpinLock(&dbx->Lock, old);
        if (mine)
            AcqCompleteCancelled(pending);
    }
    /* This process's last handle to the card: the library unmaps its views of the
       buffers here, in the process's own context. Its record of the views is what the
       first open, the description and the last close change too: under the card's mutex. */
    if (card != NULL)
        AcqLock(card);
    QorCleanupDevice(device);
    if (card != NULL)
        AcqUnlock(card);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* Whether the card's register range (PortBase[1]) holds `bytes` ports at `offset`: the
   digital ports and the counters are registers of the card's own range, and a card whose
   range is shorter (or that has none) has no such register. Writing there anyway would
   reach whatever owns the ports behind it: another card's function, or, with no range at
   all, the PC's own DMA controller at the bare offset. */
static BOOLEAN AcqCardHas(const AcqCard *card, ULONG offset, ULONG bytes)
{
    return offset + bytes <= card->portBytes[1];
}

static void AcqDigital(QorDevExt *ext, ULONG code, QorPioRequest *request)
{
    if (code == ACQ_IOCTL_DIO_READ) {
        request->Value = READ_PORT_USHORT((PUSHORT)(ext->PortBase[1] + ACQ_DIGITAL_IN));
        QorIocPioRead(ACQ_DIGITAL_WIDTH, request);
    } else {
        PUSHORT port = (PUSHORT)(ext->PortBase[1] + ACQ_DIGITAL_OUT);
        if (QorIocPioWrite(ACQ_DIGITAL_WIDTH, request, READ_PORT_USHORT(port)))
            WRITE_PORT_USHORT(port, (USHORT)request->Value);
    }
}

/* Port requests reach the card's register range (PortBase[1]) only: an access that would
   end beyond the range's length, as the card's BAR declares it, is refused with
   STATUS_INVALID_PARAMETER and no port is touched. Widths other than 1, 2 and 4 make no
   access; the library reports them in the record. */
static BOOLEAN AcqPortRequestFits(const AcqCard *card, const QorPortIoRequest *request)
{
    ULONG width = request->Width;
    if (width != 1 && width != 2 && width != 4)
        width = 0;
    return (ULONG)request->Offset + width <= card->portBytes[1] && request->Offset < card->portBytes[1];
}

/* The buffer requests a card serves (groups 0x820-0x870, the low bits naming the kind).
   A 9080 card runs scatter-gather transfers of its analog buffers (0x820) and nothing
   else: the library's requests would see those buffers idle while a chain runs, and its
   starts have no bus master to run them. The other cards serve the library's requests
   (0x830-0x870). A row whose low bits name no buffer kind is no request of this driver. */
static BOOLEAN AcqServesBufferRequest(const QorDevExt *ext, const QorDbx *dbx, ULONG group, int kind)
{
    if (kind < 0)
        return FALSE;
    if (ext->ControllerType == QOR_CONTROLLER_PLX9080)
        return group == 0x820 && kind <= QOR_KIND_ANALOG_OUTPUT && dbx != NULL;
    return group != 0x820;
}

static NTSTATUS NTAPI AcqDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    AcqCard *card = AcqCardOf(device);
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    int kind = acq_kind_of(code);
    QorDbx *dbx = kind >= 0 ? ext->Buffers[kind] : NULL;
    ULONG group = QOR_IOCTL_FUNCTION(code) & 0xFF0;
    NTSTATUS status;

    if (!QorIocCheckBufferLength(irp)) {
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (card == NULL) {
        AcqRefuse(irp, STATUS_INVALID_DEVICE_REQUEST);
    } else if (group >= 0x820 && group <= 0x870 && !AcqServesBufferRequest(ext, dbx, group, kind)) {
        AcqRefuse(irp, STATUS_INVALID_DEVICE_REQUEST);
    } else {
        switch (group) {
        case 0x820:
        case 0x870:
            if (group == 0x820) {
                status = AcqScatter(ext, dbx, (ULONG)kind, irp);
            } else {
                AcqLock(card);
                status = AcqStart(ext, card, dbx, (ULONG)kind, irp);
                AcqUnlock(card);
            }
            if (status == STATUS_PENDING)
                return status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        case 0x830: QorIocAsyCheck(ext, dbx, (QorAsyResult *)buffer); break;
        case 0x840:
            AcqLock(card);
            AcqStop(ext, card, dbx, (ULONG)kind, irp);
            AcqUnlock(card);
            break;
        case 0x850: QorIocDbfHalfReady(ext, dbx, (QorDbfHalfResult *)buffer); break;
        case 0x860: QorIocDbfMode(ext, dbx, (QorDbfModeRequest *)buffer); break;
        default:
            switch (code) {
            case ACQ_IOCTL_GET_DESP: /* may map views, which a close may be unmapping */
                AcqLock(card);
                AcqDescribe(ext, card, irp);
                AcqUnlock(card);
                break;
            case ACQ_IOCTL_DIO_READ:
            case ACQ_IOCTL_DIO_WRITE:
                if (!AcqCardHas(card, code == ACQ_IOCTL_DIO_READ ? ACQ_DIGITAL_IN : ACQ_DIGITAL_OUT, ACQ_DIGITAL_WIDTH))
                    AcqRefuse(irp, STATUS_INVALID_DEVICE_REQUEST);
                else
                    AcqDigital(ext, code, (QorPioRequest *)buffer);
                break;
            case ACQ_IOCTL_COUNTER_GET:
            case ACQ_IOCTL_COUNTER_SET:
                if (!AcqCardHas(card, ACQ_COUNTERS, ACQ_COUNTER_BYTES))
                    AcqRefuse(irp, STATUS_INVALID_DEVICE_REQUEST);
                else if (code == ACQ_IOCTL_COUNTER_GET)
                    I8254B_IocCtrGet(ext->PortBase[1] + ACQ_COUNTERS, (QorCounterRequest *)buffer);
                else
                    I8254B_IocCtrSet(ext->PortBase[1] + ACQ_COUNTERS, (QorCounterRequest *)buffer);
                break;
            case ACQ_IOCTL_PORT_READ:
            case ACQ_IOCTL_PORT_WRITE:
                if (!AcqPortRequestFits(card, (QorPortIoRequest *)buffer))
                    AcqRefuse(irp, STATUS_INVALID_PARAMETER);
                else if (code == ACQ_IOCTL_PORT_READ)
                    QorIocPortIoRead(ext, ACQ_PORT_WIDTH, (QorPortIoRequest *)buffer);
                else
                    QorIocPortIoWrite(ext, ACQ_PORT_WIDTH, (QorPortIoRequest *)buffer);
                break;
            case ACQ_IOCTL_DUAL_INT_SET:
            case ACQ_IOCTL_DUAL_INT_GET:
                if (ext->ControllerType != QOR_CONTROLLER_PLX9050 || ext->DualIntEvents == NULL)
                    AcqRefuse(irp, STATUS_INVALID_DEVICE_REQUEST);
                else if (code == ACQ_IOCTL_DUAL_INT_SET)
                    PLX90_IocSetDualInt(ext, (QorDualIntRequest *)buffer);
                else
                    PLX90_IocGetDualInt(ext, (QorDualIntRequest *)buffer);
                break;
            default: /* a code of the table that this driver does not serve */
                AcqRefuse(irp, STATUS_INVALID_DEVICE_REQUEST);
                break;
            }
        }
    }
    /* The request goes back with the status and length that validation set; the library
       has written its own status into the record. */
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- load and unload -------------------------------------------------------------- */

static VOID NTAPI AcqUnload(PDRIVER_OBJECT driver)
{
    QorDriverBlock *kept = NULL;
    ULONG i;
    /* QorUnloadDriver frees the driver block of the first device; each family's scan made
       one of its own, so the others are dropped here. */
    if (driver->DeviceObject != NULL)
        kept = ((QorDevExt *)driver->DeviceObject->DeviceExtension)->DriverBlock;
    QorUnloadDriver(driver);
    for (i = 0; i < acqCardCount; ++i)
        AcqForgetAnswers(&acqCards[i], NULL);
    acqCardCount = 0;
    for (i = 0; i < ACQ_FAMILIES; ++i) {
        if (acqFind[i].DriverBlock != NULL && acqFind[i].DriverBlock != kept)
            QorDropDriver(acqFind[i].DriverBlock);
        acqFind[i].DriverBlock = NULL;
        QorDeleteUcs(acqFind[i].FpgaFileName);
        acqFind[i].FpgaFileName = NULL;
    }
}

/* The length of the I/O range a BAR decodes: all ones written, the address bits that stay
   read back, the BAR restored. Done once per card while it is set up and quiet. */
ACQ_INIT static ULONG AcqIoRangeBytes(ULONG bus, ULONG slot, ULONG bar, ULONG value)
{
    PCI_COMMON_CONFIG header;
    ULONG sizing = ACQ_PCI_IO_SIZING;
    ULONG offset = ACQ_PCI_BAR0_OFFSET + 4 * bar;
    HalSetBusDataByOffset(PCIConfiguration, bus, slot, &sizing, offset, sizeof sizing);
    if (HalGetBusData(PCIConfiguration, bus, slot, &header, ACQ_PCI_HEADER_BYTES) < ACQ_PCI_HEADER_BYTES)
        header.u.type0.BaseAddresses[bar] = 0;
    HalSetBusDataByOffset(PCIConfiguration, bus, slot, &value, offset, sizeof value);
    sizing = header.u.type0.BaseAddresses[bar] & ACQ_PCI_IO_ADDRESS;
    return sizing == 0 ? 0 : ((~sizing + 1) & ACQ_PCI_IO_ADDRESS);
}

/* Keeps the driver's state of the card set up last: its port ranges' lengths, found by
   matching each stored port base with the I/O BAR that decodes it. A range no BAR
   matches has length 0, and the requests that would use it are refused. */
ACQ_INIT static void AcqAddCard(const QorFindRecord *find)
{
    QorDevExt *ext = find->DevExt;
    AcqCard *card;
    PCI_COMMON_CONFIG header;
    ULONG range, bar;
    if (acqCardCount == ACQ_MAX_CARDS || ext == NULL)
        return; /* the card's requests are then refused */
    card = &acqCards[acqCardCount];
    RtlZeroMemory(card, sizeof *card);
    KeInitializeSpinLock(&card->lock);
    KeInitializeMutex(&card->mutex, 0);
    if (HalGetBusData(PCIConfiguration, ext->BusNumber, ext->SlotNumber, &header, ACQ_PCI_HEADER_BYTES)
        >= ACQ_PCI_HEADER_BYTES) {
        for (range = 0; range < ext->PortCount && range < ACQ_PORTS; ++range) {
            for (bar = 0; bar < ACQ_PCI_BARS; ++bar) {
                ULONG value = header.u.type0.BaseAddresses[bar];
                if ((value & ACQ_PCI_BAR_IO) && (value & ACQ_PCI_IO_ADDRESS) == ext->PortBase[range]) {
                    card->portBytes[range] = AcqIoRangeBytes(ext->BusNumber, ext->SlotNumber, bar, value);
                    break;
                }
            }
        }
    }
    card->device = find->DeviceObject;
    ++acqCardCount;
}

ACQ_INIT static ULONG AcqScan(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath, ULONG family)
{
    QorFindRecord *find = &acqFind[family];
    ULONG found = 0;
    RtlZeroMemory(find, sizeof *find);
    find->VendorId = acqFamilies[family].vendorId;
    find->DeviceId = acqFamilies[family].deviceId;
    find->ControllerType = acqFamilies[family].controllerType;
    find->DownloadFpga = acqFamilies[family].downloadFpga;
    find->DriverObject = driver;
    find->RegistryPath = registryPath;
    find->BaseName = acqFamilies[family].name;
    find->DeviceName = acqFamilies[family].name;
    find->DosName = acqFamilies[family].name;
    find->InterruptRoutine = AcqInterrupt;
    find->DpcRoutine = AcqDpc;
    find->PortCount = ACQ_PORTS;
    find->Desp = acqFamilies[family].desp;
    if (!QorFindDeviceBegin(find))
        return 0;
    while (QorFindDeviceNext(find)) {
        if (QorEnumDevice(find)) {
            QorReadEnumReg(find);
            AcqAddCard(find);
            ++found;
        }
    }
    QorFindDeviceEnd(find);
    return found;
}

ACQ_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ULONG family, cards = 0;
    acqCardCount = 0;
    AcqBuildTemplate();
    for (family = 0; family < ACQ_FAMILIES; ++family)
        cards += AcqScan(driver, registryPath, family);
    driver->MajorFunction[IRP_MJ_CREATE] = AcqCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = AcqCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = AcqClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AcqDeviceControl;
    driver->DriverUnload = AcqUnload;
    if (cards == 0) {
        AcqUnload(driver);
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}
