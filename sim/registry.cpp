// The configuration registry of the simulated machine and RtlQueryRegistryValues over it.
//
// RtlQueryRegistryValues is modelled for what a driver reading its Parameters key does:
// an absolute, NUL-terminated key path, optionally with RTL_REGISTRY_OPTIONAL, and table
// entries with RTL_QUERY_REGISTRY_DIRECT. Anything else is reported to the verifier as
// not modelled. The NT rules it follows:
//  - a missing key is STATUS_OBJECT_NAME_NOT_FOUND, or STATUS_SUCCESS with
//    RTL_REGISTRY_OPTIONAL, and then no entry is processed (no default is stored);
//  - a missing value takes the entry's default when DefaultType is not REG_NONE, and is
//    skipped otherwise; either way it is no error;
//  - REG_DWORD data goes into the 32-bit variable EntryContext points to;
//  - REG_SZ data goes into the UNICODE_STRING EntryContext points to, whose Buffer the
//    caller supplies: as many whole characters as MaximumLength holds, then a NUL when
//    there is room for it (Length excludes it). (NT would allocate a missing Buffer.)
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

NTSTATUS store_direct(const RegistryValue &value, PVOID target)
{
    switch (value.type) {
    case REG_DWORD:
        if (value.data.size() > sizeof(ULONG))
            break;
        std::memcpy(target, value.data.data(), value.data.size());
        return STATUS_SUCCESS;
    case REG_SZ:
        return store_string(value, static_cast<PUNICODE_STRING>(target));
    default:
        break;
    }
    machine().verifier.violation("RtlQueryRegistryValues: direct query of a value type that is not modelled");
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

NTSTATUS query_entries(const std::u16string &path, PRTL_QUERY_REGISTRY_TABLE table)
{
    for (PRTL_QUERY_REGISTRY_TABLE entry = table; !end_of_table(*entry); ++entry) {
        if (entry->QueryRoutine != nullptr || (entry->Flags & ~kModelledEntryFlags) != 0 ||
            entry->Name == nullptr) {
            machine().verifier.violation("RtlQueryRegistryValues: only named direct entries are modelled");
            return STATUS_INVALID_PARAMETER;
        }
        RegistryValue value;
        if (!machine().registry.find(path, wide_z(entry->Name), &value)) {
            if (entry->DefaultType == REG_NONE)
                continue;
            value = default_of(*entry);
        }
        const NTSTATUS status = store_direct(value, entry->EntryContext);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

} // namespace

} // namespace qorsim

using qorsim::machine;

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID,
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
        record.status = qorsim::query_entries(record.path, QueryTable);
    }
    const NTSTATUS status = record.status;
    machine().registry.note_query(std::move(record));
    return status;
}
