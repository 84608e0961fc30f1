// Registry readers: each builds the full key path of the client's Parameters key in a
// temporary counted string and asks RtlQueryRegistryValues for one value through a
// temporary two-entry query table, with a default for an absent value. The key is
// optional: a driver installed without a Parameters key runs on the defaults.
//
// The value goes through a query routine that checks its type, never straight into the
// target (RTL_QUERY_REGISTRY_DIRECT): a direct query stores whatever type the value has,
// so a REG_DWORD under a string name is written over the counted string's header and a
// REG_SZ under a number's name writes a counted-string header over a 4-byte variable
// and the stack behind it. A value of the wrong type reads as absent.
#include "registry.h"

#include "owners.h"

namespace {

// The key path buffer: 128 characters, of which at most 127 are used, so that the last
// one stays the NUL of the zero-filled buffer. The kernel reads the path up to its NUL.
constexpr USHORT kPathCapacity = 256;
constexpr USHORT kPathMaxBytes = kPathCapacity - sizeof(WCHAR);
constexpr USHORT kNameCapacity = 256;

// One query entry and the all-zero entry that ends the table.
constexpr ULONG kQueryTableBytes = 2 * sizeof(RTL_QUERY_REGISTRY_TABLE);
static_assert(kQueryTableBytes == 56, "two 28-byte query entries");

constexpr ULONG kQueryRelativeTo = RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL;

constexpr WCHAR kParametersKey[] = QOR_W("\\Parameters");
constexpr WCHAR kParametersKeyDirectory[] = QOR_W("\\Parameters\\");

constexpr WCHAR kKindNames[QOR_BUFFER_KINDS][3] = {QOR_W("AI"), QOR_W("AO"), QOR_W("DI"),
                                                   QOR_W("DO")};
constexpr USHORT kCardNameCount = 10;
constexpr WCHAR kCardNames[kCardNameCount][2] = {QOR_W("0"), QOR_W("1"), QOR_W("2"), QOR_W("3"),
                                                 QOR_W("4"), QOR_W("5"), QOR_W("6"), QOR_W("7"),
                                                 QOR_W("8"), QOR_W("9")};
constexpr WCHAR kFpgaName[] = QOR_W("FPGA");

// An empty wide string, the default of a string value: 2 bytes, its NUL.
constexpr WCHAR kEmptyString[] = QOR_W("");

// The temporaries of one read of the Parameters key: the key path and the query table,
// both freed when the read goes out of scope.
class ParametersQuery {
public:
    ParametersQuery(PCUNICODE_STRING registryPath, PCWSTR suffix)
        : path_(QorNewUcs(kPathCapacity)), table_(QorNewNpp(kQueryTableBytes))
    {
        if (!ready())
            return;
        QorCatUcs(path_.get(), registryPath);
        QorCatWcs(path_.get(), suffix);
        if (path_->Length > kPathMaxBytes) { // cut to 127 characters, NUL after them
            path_->Length = kPathMaxBytes;
            path_->Buffer[kPathMaxBytes / sizeof(WCHAR)] = 0;
        }
    }

    bool ready() const { return path_ && table_; }

    // Queries one value through routine into target; an absent value reaches the routine
    // as the default.
    NTSTATUS Run(PCWSTR name, decltype(RTL_QUERY_REGISTRY_TABLE::QueryRoutine) routine, PVOID target,
                 ULONG defaultType, const void *defaultData, ULONG defaultLength)
    {
        RTL_QUERY_REGISTRY_TABLE &entry = table_.as<RTL_QUERY_REGISTRY_TABLE>()[0];
        entry.QueryRoutine = routine;
        entry.Flags = 0;
        entry.Name = const_cast<PWSTR>(name);
        entry.EntryContext = target;
        entry.DefaultType = defaultType;
        entry.DefaultData = const_cast<PVOID>(defaultData);
        entry.DefaultLength = defaultLength;
        return RtlQueryRegistryValues(kQueryRelativeTo, path_->Buffer,
                                      table_.as<RTL_QUERY_REGISTRY_TABLE>(), nullptr, nullptr);
    }

    // Drops the table's pointers before it goes back to the pool.
    void ClearTable()
    {
        auto *bytes = table_.as<UCHAR>();
        for (ULONG i = 0; i < kQueryTableBytes; ++i)
            bytes[i] = 0;
    }

private:
    qor::UcsOwner path_;
    qor::NppOwner table_;
};

constexpr ULONG kDwordDefault = 0;

// Query routines: the kernel hands over the value's type, data and length; the entry's
// context is the target. A value of another type leaves the target as it was.
NTSTATUS NTAPI StoreDword(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID target)
{
    if (type == REG_DWORD && length == sizeof(ULONG)) {
        const auto *bytes = static_cast<const UCHAR *>(data);
        *static_cast<ULONG *>(target) =
            ULONG(bytes[0]) | ULONG(bytes[1]) << 8 | ULONG(bytes[2]) << 16 | ULONG(bytes[3]) << 24;
    }
    return STATUS_SUCCESS;
}

// A REG_SZ into the counted string: the characters up to the first NUL within the data,
// with a NUL after them. A name that does not fit with its NUL is not cut: the string is
// left empty, as NT's direct query leaves a string whose buffer is too small. A cut name
// would name another file, and the download would look for it.
NTSTATUS NTAPI StoreString(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID target)
{
    if (type != REG_SZ)
        return STATUS_SUCCESS;
    auto *string = static_cast<PUNICODE_STRING>(target);
    const auto *text = static_cast<const WCHAR *>(data);
    const ULONG room = string->MaximumLength / sizeof(WCHAR);
    ULONG chars = 0;
    while (chars < length / sizeof(WCHAR) && text[chars] != 0)
        ++chars;
    if (chars >= room) {
        if (room != 0)
            string->Buffer[0] = 0;
        string->Length = 0;
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < chars; ++i)
        string->Buffer[i] = text[i];
    string->Buffer[chars] = 0;
    string->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Reads a REG_DWORD value of the Parameters key, 0 when absent; returns the query's
// status, or STATUS_INSUFFICIENT_RESOURCES when the temporaries cannot be allocated.
NTSTATUS QueryDword(PCUNICODE_STRING registryPath, PCWSTR name, ULONG *value)
{
    ParametersQuery query(registryPath, kParametersKey);
    if (!query.ready())
        return STATUS_INSUFFICIENT_RESOURCES;
    return query.Run(name, StoreDword, value, REG_DWORD, &kDwordDefault, sizeof kDwordDefault);
}

} // namespace

extern "C" {

ULONG QORCALL QorReadParameterReg(PUNICODE_STRING registryPath, ULONG kind)
{
    ULONG value = 0;
    if (kind < QOR_BUFFER_KINDS)
        QueryDword(registryPath, kKindNames[kind], &value); // any failure leaves 0
    return value;
}

BOOLEAN QORCALL QorReadFileReg(QorFindRecord *record)
{
    ParametersQuery query(record->RegistryPath, kParametersKeyDirectory);
    if (!query.ready())
        return FALSE;
    qor::UcsOwner name(QorNewUcs(kNameCapacity));
    if (!name)
        return FALSE;
    // A value that cannot be read, or is no REG_SZ, leaves the name empty; nothing here
    // tests it.
    query.Run(kFpgaName, StoreString, name.get(), REG_SZ, kEmptyString, sizeof kEmptyString);
    query.ClearTable();
    record->FpgaFileName = name.release();
    return TRUE;
}

// Card indices 0 to 9 have a value name; CardCount outside 1 to 10 gives FALSE without a
// query and leaves EnumParam alone (see the prototype in qorpelk.h).
BOOLEAN QORCALL QorReadEnumReg(QorFindRecord *record)
{
    const USHORT cardCount = record->CardCount;
    if (cardCount == 0 || cardCount > kCardNameCount)
        return FALSE;
    ULONG value = 0;
    if (!NT_SUCCESS(QueryDword(record->RegistryPath, kCardNames[cardCount - 1], &value)))
        return FALSE;
    record->DevExt->EnumParam = value;
    return TRUE;
}

} // extern "C"
