#pragma once
// Ownership of everything the helper opens or allocates: one template, and
// one alias per kind of handle or memory, each named after what it releases.

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>
#include <wtsapi32.h>

#include <utility>

namespace zorv::win32 {

// Owns one value of `Traits::pointer`; `Traits::is_valid` says whether a value
// is owned and `Traits::close` releases it. Moves transfer ownership.
template <typename Traits>
class [[nodiscard]] unique_resource {
public:
    using pointer = typename Traits::pointer;

    unique_resource() = default;
    explicit unique_resource(pointer value) : value_(value) {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    pointer get() const { return value_; }
    bool valid() const { return Traits::is_valid(value_); }
    explicit operator bool() const { return valid(); }

    [[nodiscard]] pointer release() { return std::exchange(value_, Traits::empty()); }
    void reset(pointer value = Traits::empty()) {
        const pointer old = std::exchange(value_, value);
        if (Traits::is_valid(old)) Traits::close(old);
    }
    // For out-parameters: releases what is owned and lends the empty slot, so
    // that what the call stores there is owned from then on.
    pointer* put() {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::empty();
};

// Traits for the common case: a pointer-like value, null when empty.
template <typename T, auto Close>
struct null_empty_traits {
    using pointer = T;
    static constexpr pointer empty() { return nullptr; }
    static bool is_valid(pointer value) { return value != nullptr; }
    static void close(pointer value) { Close(value); }
};

// Kernel handles: INVALID_HANDLE_VALUE (what CreateFileW fails with) and null
// both mean none.
struct kernel_handle_traits {
    using pointer = HANDLE;
    static constexpr pointer empty() { return nullptr; }
    static bool is_valid(pointer value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void close(pointer value) { ::CloseHandle(value); }
};

inline void close_algorithm_provider(BCRYPT_ALG_HANDLE provider) { ::BCryptCloseAlgorithmProvider(provider, 0); }
inline void destroy_hash(BCRYPT_HASH_HANDLE hash) { ::BCryptDestroyHash(hash); }
inline void close_cert_store(HCERTSTORE store) { ::CertCloseStore(store, 0); }
inline void free_certificate(PCCERT_CONTEXT certificate) { ::CertFreeCertificateContext(certificate); }
inline void close_crypt_message(HCRYPTMSG message) { ::CryptMsgClose(message); }

using UniqueHandle = unique_resource<kernel_handle_traits>;
using UniqueServiceHandle = unique_resource<null_empty_traits<SC_HANDLE, &::CloseServiceHandle>>;
using UniqueRegistryKey = unique_resource<null_empty_traits<HKEY, &::RegCloseKey>>;
using UniqueEventSource = unique_resource<null_empty_traits<HANDLE, &::DeregisterEventSource>>;
using UniqueAlgorithmProvider = unique_resource<null_empty_traits<BCRYPT_ALG_HANDLE, &close_algorithm_provider>>;
using UniqueHash = unique_resource<null_empty_traits<BCRYPT_HASH_HANDLE, &destroy_hash>>;
using UniqueCertStore = unique_resource<null_empty_traits<HCERTSTORE, &close_cert_store>>;
using UniqueCertificate = unique_resource<null_empty_traits<PCCERT_CONTEXT, &free_certificate>>;
using UniqueCryptMessage = unique_resource<null_empty_traits<HCRYPTMSG, &close_crypt_message>>;
// Memory the system allocated for the caller: LocalAlloc'd results (security
// descriptors, FormatMessageW and CommandLineToArgvW buffers) and WTS buffers.
template <typename T>
using UniqueLocalMemory = unique_resource<null_empty_traits<T*, &::LocalFree>>;
template <typename T>
using UniqueWtsMemory = unique_resource<null_empty_traits<T*, &::WTSFreeMemory>>;

}  // namespace zorv::win32
