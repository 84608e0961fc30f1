// Owners of the library's temporaries: a counted string or a nonpaged block that is
// freed when the owner goes out of scope, on every path. release() hands the object on
// to a longer-lived holder (a record field) instead.
#pragma once

#include "qor_platform.h"

namespace qor {

template <class T, class Traits> class Owner {
public:
    explicit Owner(T object) : object_(object) {}
    ~Owner() { Traits::Free(object_); }
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;

    T get() const { return object_; }
    T operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T release()
    {
        T object = object_;
        object_ = nullptr;
        return object;
    }

private:
    T object_;
};

struct UcsTraits {
    static void Free(PUNICODE_STRING string) { QorDeleteUcs(string); }
};
struct NppTraits {
    static void Free(PVOID block) { QorDeleteNpp(block); }
};

// A counted string from QorNewUcs, QorDupUcsToUcs or QorDupWcsToUcs.
using UcsOwner = Owner<PUNICODE_STRING, UcsTraits>;
// A block from QorNewNpp; as<T>() views it as the record it holds.
class NppOwner : public Owner<PVOID, NppTraits> {
public:
    using Owner::Owner;
    template <class T> T *as() const { return static_cast<T *>(get()); }
};

} // namespace qor
