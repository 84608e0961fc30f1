/* Sizes and offsets that C and C++ clients must agree on, as one list for both. */
#define QOR_LAYOUT_VALUES                                                                  \
    sizeof(QorFindRecord), sizeof(QorDriverBlock), sizeof(QorDevExt), sizeof(QorDesp),     \
        sizeof(QorDespBuffer), sizeof(QorDbx), sizeof(QorDbxDescriptor), sizeof(QorDsen),  \
        offsetof(QorDevExt, PortCount), offsetof(QorDevExt, ExtraOpens),                   \
        offsetof(QorFindRecord, PciConfig), offsetof(QorFindRecord, FpgaFileName),         \
        offsetof(QorDesp, Buffers), offsetof(QorDesp, OpenCount), offsetof(QorDbx, Flags), \
        sizeof(QorContRequest), sizeof(QorAsyResult), sizeof(QorPioRequest),               \
        sizeof(QorPortIoRequest), sizeof(QorCounterRequest), sizeof(QorDualIntRequest),    \
        sizeof(QorDbfHalfResult), sizeof(QorDbfModeRequest), sizeof(QorIoctlLength),       \
        sizeof(QorLockedChunk)
#define QOR_LAYOUT_COUNT 25
