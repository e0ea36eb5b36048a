#include "security/core_deployment.hpp"

#include <windows.h>

#include <span>
#include <vector>

#include <fmt/format.h>

#include "common/file_reading.hpp"
#include "common/text.hpp"
#include "common/win32.hpp"
#include "logger/log.hpp"
#include "security/path_checks.hpp"
#include "security/path_text_rules.hpp"

namespace zorv::security {

namespace {

constexpr std::size_t kCopyChunk = 1024 * 1024;
constexpr std::string_view kDeployFailed = "Failed to deploy sing-box binary to service directory";

// With the client's rights, not following a link at the last step, and
// sharing only reads, so that the bytes cannot change while they are copied.
// Overlapped, so that every read of it has a deadline.
Result<win32::UniqueHandle> open_source(const std::filesystem::path& source, const std::string& given) {
    win32::UniqueHandle file(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN |
                                               FILE_FLAG_OVERLAPPED | kCallerPathOpenFlags,
                                           nullptr));
    if (!file) {
        Error error = win32::last_os_error();
        if (win32::is_not_found_error(error)) return fail("source_path does not exist: " + given);
        return fail(std::move(error).context("source_path could not be opened: " + given));
    }
    return file;
}

Result<win32::UniqueHandle> open_source_as_client(const std::filesystem::path& source, const std::string& given,
                                                  ClientIdentity& client) {
    Result<win32::UniqueHandle> opened = fail("source_path could not be opened: " + given);
    if (auto ran = run_as_client(client, [&] { opened = open_source(source, given); }); !ran)
        return fail(ran.error().context("source_path could not be opened: " + given));
    return opened;
}

// What the handle leads to must be a plain file of bounded size.
Status check_opened_source(HANDLE file, const std::string& given) {
    const auto facts = win32::handle_facts(file);
    if (!facts) return fail(facts.error().context("Failed to read source_path: " + given));
    if (facts->reparse_point) return fail("source_path or its ancestor is a reparse point: " + given);
    if (facts->directory) return fail("source_path is not a valid Windows executable: " + given);
    if (facts->size > kMaxCoreBytes) return fail(fmt::format("source_path is larger than {} bytes: {}", kMaxCoreBytes, given));
    return {};
}

// One read of the client's file, the copy's only one. Whoever owns the file
// can stall a read of it, so the whole copy has a deadline.
Result<std::size_t> read_chunk(HANDLE file, std::uint64_t offset, std::span<char> buffer, win32::ReadDeadline deadline,
                               const std::string& given) {
    auto read = win32::read_chunk_by(file, offset, buffer, deadline);
    if (!read && read.error().os_code() == static_cast<std::uint32_t>(ERROR_TIMEOUT))
        return fail(fmt::format("source_path could not be read within {} s: {}",
                                std::chrono::duration_cast<std::chrono::seconds>(win32::kCallerFileReadTime).count(),
                                given));
    if (!read) return fail(read.error().context("Failed to read source_path: " + given));
    return read;
}

Status write_all(HANDLE file, std::span<const char> bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return fail(win32::last_os_error());
        bytes = bytes.subspan(written);
    }
    return {};
}

// A name nobody can have chosen in advance, beside the installed core.
Result<std::filesystem::path> copy_path(const std::filesystem::path& service_dir) {
    std::uint64_t nonce = 0;
    if (const NTSTATUS status = ::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&nonce), sizeof(nonce),
                                                  BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        !BCRYPT_SUCCESS(status))
        return fail(win32::cng_error("BCryptGenRandom", status));
    return service_dir / win32::to_wide(fmt::format("sing-box.exe.{:016x}.deploy", nonce));
}

// Copies the rest of `from` into `to`; a file that grew past the limit since
// its size was taken is refused rather than cut short.
Status copy_bounded(HANDLE from, HANDLE to, StagedCore& staged) {
    auto sha = Sha256::begin();
    if (!sha) return fail(sha.error().context(std::string(kDeployFailed)));
    std::vector<char> buffer(kCopyChunk);
    const win32::ReadDeadline deadline = std::chrono::steady_clock::now() + win32::kCallerFileReadTime;
    for (;;) {
        auto read = read_chunk(from, staged.size, buffer, deadline, staged.source_path);
        if (!read) return fail(read.error());
        if (*read == 0) break;
        staged.size += *read;
        if (staged.size > kMaxCoreBytes)
            return fail(fmt::format("source_path is larger than {} bytes: {}", kMaxCoreBytes, staged.source_path));
        const std::span<const char> bytes(buffer.data(), *read);
        if (auto added = sha->add(bytes); !added) return fail(added.error().context(std::string(kDeployFailed)));
        if (auto written = write_all(to, bytes); !written)
            return fail(written.error().context(std::string(kDeployFailed)));
    }
    if (!::FlushFileBuffers(to)) return fail(win32::last_os_error().context(std::string(kDeployFailed)));
    auto digest = sha->finish();
    if (!digest) return fail(digest.error().context(std::string(kDeployFailed)));
    staged.digest = *digest;
    return {};
}

// Copies the opened source into a new file in the service directory; the
// copy is removed again when anything fails.
Result<StagedCore> copy_into_service_dir(HANDLE source, std::string given, const std::filesystem::path& service_dir) {
    StagedCore staged{std::move(given), {}, 0, {}};
    auto path = copy_path(service_dir);
    if (!path) return fail(path.error().context(std::string(kDeployFailed)));
    win32::UniqueHandle copy(
        ::CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) return fail(win32::last_os_error().context(std::string(kDeployFailed)));
    staged.copy.reset(std::move(*path));
    if (auto copied = copy_bounded(source, copy.get(), staged); !copied) return fail(copied.error());
    return staged;
}

// Same size and same SHA-256; any failure to tell counts as different.
bool holds_same_bytes(const std::filesystem::path& target, const StagedCore& staged) {
    win32::UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN | kCallerPathOpenFlags, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size) || static_cast<std::uint64_t>(size.QuadPart) != staged.size)
        return false;
    const auto digest = sha256_of_file(file.get());
    return digest && *digest == staged.digest;
}

}  // namespace

void made_file_traits::close(const pointer& path) {
    if (::DeleteFileW(path.c_str())) return;
    const Error error = win32::last_os_error();
    log::warn(log::target::manager, "Failed to remove {}: {}", win32::path_text(path), error.one_line());
}

Result<std::optional<StagedCore>> stage_core(std::string_view source_path, const std::filesystem::path& service_dir,
                                             ClientIdentity& client, const PublisherCheck& publisher) {
    // The text rules come before any look at the file system, so that a
    // network or device path is refused without being touched. An empty path
    // names nothing to deploy, and neither does a file that does not exist.
    if (source_path.empty()) return std::nullopt;
    if (auto plain = check_source_path_text(source_path); !plain) return fail(plain.error());
    const std::string given(source_path);
    const std::filesystem::path source(win32::to_wide(source_path));
    if (!metadata_following_links(source)) return std::nullopt;
    if (auto valid = validate_source_path(source_path, service_dir); !valid) return fail(valid.error());

    // From here on only the handle is read: what was checked through the
    // path may since have been swapped, so the decisive checks look at the copy.
    auto opened = open_source_as_client(source, given, client);
    if (!opened) return fail(opened.error());
    if (auto checked = check_opened_source(opened->get(), given); !checked) return fail(checked.error());
    auto staged = copy_into_service_dir(opened->get(), given, service_dir);
    if (!staged) return fail(staged.error());
    opened->reset();

    const std::filesystem::path copy = staged->copy.get();
    if (!is_windows_executable(copy)) return fail("source_path is not a valid Windows executable: " + given);
    if (auto accepted = publisher.check_core(copy, given); !accepted) return fail(accepted.error());
    return std::optional<StagedCore>(std::move(*staged));
}

Status install_core(StagedCore& staged, const std::filesystem::path& target) {
    if (holds_same_bytes(target, staged)) return {};
    std::error_code ignored;
    std::filesystem::create_directories(target.parent_path(), ignored);
    const std::filesystem::path copy = staged.copy.get();
    if (!::MoveFileExW(copy.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail(win32::last_os_error().context(std::string(kDeployFailed)));
    (void)staged.copy.release();  // it is the installed core now: nothing to remove
    log::info(log::target::manager, "Successfully deployed sing-box binary from {} to {}",
              text::log_safe(staged.source_path), text::log_safe(win32::path_text(target)));
    return {};
}

}  // namespace zorv::security
