// The configuration registry of the simulated machine and RtlQueryRegistryValues over it.
//
// RtlQueryRegistryValues is modelled for what a driver reading its Parameters key does:
// an absolute, NUL-terminated key path, optionally with RTL_REGISTRY_OPTIONAL, and named
// table entries, each with a query routine or RTL_QUERY_REGISTRY_DIRECT. Anything else is
// reported to the verifier as not modelled. The NT rules it follows:
//  - a missing key is STATUS_OBJECT_NAME_NOT_FOUND, or STATUS_SUCCESS with
//    RTL_REGISTRY_OPTIONAL, and then no entry is processed (no default is stored);
//  - a missing value takes the entry's default when DefaultType is not REG_NONE, and is
//    skipped otherwise; either way it is no error;
//  - a query routine gets the value's name, type, data and length, the call's context and
//    the entry's context; an error status from it ends the query with that status;
//  - a direct entry's store does not look at the type the caller meant: REG_DWORD data is
//    copied over whatever EntryContext points to (a counted string's header included);
//  - REG_SZ data goes into the UNICODE_STRING EntryContext points to, whose Buffer the
//    caller supplies: as many whole characters as MaximumLength holds, then a NUL when
//    there is room for it (Length excludes it). (NT would allocate a missing Buffer.) A
//    target smaller than a counted string gets its header written past its end.
#include "qorsim.h"

#include <cstring>

namespace qorsim {

std::u16string Registry::key_of(const std::u16string &path)
{
    std::u16string k = upper_ascii(path);
    while (!k.empty() && k.back() == u'\\')
        k.pop_back();
    return k;
}

void Registry::add_key(const std::u16string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    keys_[key_of(path)];
}

bool Registry::remove_key(const std::u16string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.erase(key_of(path)) != 0;
}

bool Registry::has_key(const std::u16string &path) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.count(key_of(path)) != 0;
}

void Registry::set_value(const std::u16string &path, const std::u16string &name, RegistryValue value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    keys_[key_of(path)][upper_ascii(name)] = std::move(value);
}

void Registry::set_dword(const std::u16string &path, const std::u16string &name, ULONG value)
{
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    set_value(path, name, RegistryValue{REG_DWORD, std::move(data)});
}

void Registry::set_string(const std::u16string &path, const std::u16string &name,
                          const std::u16string &value)
{
    std::vector<uint8_t> data((value.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), value.data(), value.size() * sizeof(char16_t));
    set_value(path, name, RegistryValue{REG_SZ, std::move(data)});
}

bool Registry::remove_value(const std::u16string &path, const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto key = keys_.find(key_of(path));
    return key != keys_.end() && key->second.erase(upper_ascii(name)) != 0;
}

bool Registry::find(const std::u16string &path, const std::u16string &name, RegistryValue *out) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto key = keys_.find(key_of(path));
    if (key == keys_.end())
        return false;
    auto value = key->second.find(upper_ascii(name));
    if (value == key->second.end())
        return false;
    *out = value->second;
    return true;
}

std::vector<RegistryQuery> Registry::queries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
}

void Registry::note_query(RegistryQuery query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    queries_.push_back(std::move(query));
}

void Registry::fail_queries(NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    injected_failure_ = status;
}

NTSTATUS Registry::injected_failure() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_failure_;
}

void Registry::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.clear();
    queries_.clear();
    injected_failure_ = STATUS_SUCCESS;
}

namespace {

constexpr ULONG kRelativeToMask = 0x0000FFFF;
constexpr ULONG kModelledEntryFlags = RTL_QUERY_REGISTRY_DIRECT;

std::u16string wide_z(PCWSTR text)
{
    return text == nullptr ? std::u16string() : std::u16string(text);
}

bool end_of_table(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    return entry.QueryRoutine == nullptr && entry.Name == nullptr;
}

NTSTATUS store_string(const RegistryValue &value, PUNICODE_STRING target)
{
    size_t chars = value.data.size() / sizeof(char16_t);
    const auto *text = reinterpret_cast<const char16_t *>(value.data.data());
    for (size_t i = 0; i < chars; ++i)
        if (text[i] == 0) {
            chars = i;
            break;
        }
    if (target->Buffer == nullptr) {
        machine().verifier.violation("RtlQueryRegistryValues: a string without a buffer is not modelled");
        return STATUS_INVALID_PARAMETER;
    }
    const size_t room = target->MaximumLength / sizeof(char16_t);
    const size_t copied = chars < room ? chars : room;
    std::memcpy(target->Buffer, text, copied * sizeof(char16_t));
    if (copied < room)
        target->Buffer[copied] = 0;
    target->Length = static_cast<USHORT>(copied * sizeof(char16_t));
    return STATUS_SUCCESS;
}

// The size of a direct entry's target: the rest of its pool block, or what its default
// type says the caller declared; SIZE_MAX when nothing tells.
size_t target_size(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    if (size_t bytes = machine().pool.bytes_to_block_end(entry.EntryContext))
        return bytes;
    switch (entry.DefaultType) {
    case REG_DWORD: return sizeof(ULONG);
    case REG_SZ: return sizeof(UNICODE_STRING);
    default: return SIZE_MAX;
    }
}

std::string type_name(ULONG type) { return type == REG_DWORD ? "REG_DWORD" : type == REG_SZ ? "REG_SZ" : "value"; }

NTSTATUS store_direct(const RegistryValue &value, const RTL_QUERY_REGISTRY_TABLE &entry)
{
    const size_t room = target_size(entry);
    const std::string name = to_ascii(wide_z(entry.Name));
    switch (value.type) {
    case REG_DWORD: {
        if (value.data.size() > sizeof(ULONG))
            break;
        // NT copies the number over whatever the target is, a counted string's header too.
        size_t bytes = value.data.size();
        if (bytes > room) {
            machine().verifier.violation("RtlQueryRegistryValues: direct REG_DWORD \"" + name + "\" written past its " +
                                         std::to_string(room) + "-byte target");
            bytes = room;
        }
        std::memcpy(entry.EntryContext, value.data.data(), bytes);
        return STATUS_SUCCESS;
    }
    case REG_SZ:
        if (room < sizeof(UNICODE_STRING)) {
            // NT takes the target for a counted string and writes its header: past the
            // end of a smaller target.
            machine().verifier.violation("RtlQueryRegistryValues: direct REG_SZ \"" + name +
                                         "\" stores a counted-string header in a " + std::to_string(room) +
                                         "-byte target");
            const USHORT header[2] = {static_cast<USHORT>(value.data.size() - sizeof(char16_t)),
                                      static_cast<USHORT>(value.data.size())};
            std::memcpy(entry.EntryContext, header, room < sizeof header ? room : sizeof header);
            return STATUS_SUCCESS;
        }
        return store_string(value, static_cast<PUNICODE_STRING>(entry.EntryContext));
    default:
        break;
    }
    machine().verifier.violation("RtlQueryRegistryValues: direct query of a " + type_name(value.type) +
                                 " that is not modelled");
    return STATUS_INVALID_PARAMETER;
}

// The default of an entry as a value: REG_SZ with DefaultLength 0 measures the string.
RegistryValue default_of(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    ULONG length = entry.DefaultLength;
    if (entry.DefaultType == REG_SZ && length == 0)
        length = static_cast<ULONG>((wide_z(static_cast<PCWSTR>(entry.DefaultData)).size() + 1) *
                                    sizeof(char16_t));
    const auto *bytes = static_cast<const uint8_t *>(entry.DefaultData);
    return RegistryValue{entry.DefaultType, std::vector<uint8_t>(bytes, bytes + length)};
}

NTSTATUS query_entries(const std::u16string &path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context)
{
    for (PRTL_QUERY_REGISTRY_TABLE entry = table; !end_of_table(*entry); ++entry) {
        const bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if ((entry->Flags & ~kModelledEntryFlags) != 0 || entry->Name == nullptr ||
            (!direct && entry->QueryRoutine == nullptr)) {
            machine().verifier.violation(
                "RtlQueryRegistryValues: only named entries, direct or with a query routine, are modelled");
            return STATUS_INVALID_PARAMETER;
        }
        RegistryValue value;
        if (!machine().registry.find(path, wide_z(entry->Name), &value)) {
            if (entry->DefaultType == REG_NONE)
                continue;
            value = default_of(*entry);
        }
        NTSTATUS status;
        if (direct) {
            status = store_direct(value, *entry);
        } else {
            std::vector<uint8_t> data = value.data; // the routine gets the kernel's copy
            status = entry->QueryRoutine(entry->Name, value.type, data.empty() ? nullptr : data.data(),
                                         static_cast<ULONG>(data.size()), context, entry->EntryContext);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

} // namespace

} // namespace qorsim

using qorsim::machine;

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                                 PVOID)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("RtlQueryRegistryValues above PASSIVE_LEVEL");
    qorsim::RegistryQuery record{RelativeTo, qorsim::wide_z(Path), {}, STATUS_SUCCESS};
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; !qorsim::end_of_table(*entry); ++entry)
        record.names.push_back(qorsim::wide_z(entry->Name));

    if ((RelativeTo & qorsim::kRelativeToMask) != RTL_REGISTRY_ABSOLUTE ||
        (RelativeTo & ~(qorsim::kRelativeToMask | RTL_REGISTRY_OPTIONAL)) != 0) {
        machine().verifier.violation("RtlQueryRegistryValues: only absolute paths are modelled");
        record.status = STATUS_INVALID_PARAMETER;
    } else if (machine().registry.injected_failure() != STATUS_SUCCESS) {
        record.status = machine().registry.injected_failure();
    } else if (!machine().registry.has_key(record.path)) {
        record.status = (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS
                                                             : STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
        record.status = qorsim::query_entries(record.path, QueryTable, Context);
    }
    const NTSTATUS status = record.status;
    machine().registry.note_query(std::move(record));
    return status;
}
