#include "manager/wintun.hpp"

#include <windows.h>

#include <bcrypt.h>
#include <fmt/format.h>

#include "common/child_tool.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"

namespace zorv::manager {

namespace {

std::uint32_t little_endian(const Md5Digest& bytes, std::size_t offset, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;) value = (value << 8) | bytes[offset + i];
    return value;
}

}  // namespace

Result<Md5Digest> md5_digest(std::string_view bytes) {
    win32::UniqueAlgorithmProvider provider;
    if (const NTSTATUS status = ::BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_MD5_ALGORITHM, nullptr, 0);
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptOpenAlgorithmProvider", status));

    Md5Digest digest{};
    // BCryptHash takes a non-const input pointer but does not write to it.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    if (const NTSTATUS status = ::BCryptHash(provider.get(), nullptr, 0, input, static_cast<ULONG>(bytes.size()),
                                             digest.data(), static_cast<ULONG>(digest.size()));
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptHash", status));
    return digest;
}

std::string wintun_device_instance_id(const Md5Digest& d) {
    return fmt::format("SWD\\Wintun\\{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                       little_endian(d, 0, 4), little_endian(d, 4, 2), little_endian(d, 6, 2), d[8], d[9], d[10],
                       d[11], d[12], d[13], d[14], d[15]);
}

void remove_wintun_device(std::string_view interface_name) {
    const std::string key = "wintun" + std::string(interface_name);
    const auto digest = md5_digest(key);
    if (!digest) {
        log::warn(log::target::manager, "[wintun] Failed to compute the device id for {}: {}",
                  text::log_safe(interface_name), digest.error().one_line());
        return;
    }
    const std::string id = wintun_device_instance_id(*digest);
    log::info(log::target::manager, "[wintun] Removing Wintun device via pnputil: {}", id);

    const auto ran = run_child_tool("pnputil.exe", {"/remove-device", id});
    if (!ran) {
        log::warn(log::target::manager, "[wintun] Failed to execute pnputil for {}: {}", id, ran.error().one_line());
    } else if (*ran == 0) {
        log::info(log::target::manager, "[wintun] pnputil remove-device succeeded for {} (exit code: 0)", id);
    } else {
        log::info(log::target::manager, "[wintun] pnputil remove-device completed for {} with status=Some({})", id,
                  *ran);
    }
}

}  // namespace zorv::manager
