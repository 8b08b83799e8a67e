// The installer's check below the executable: what another process does to the file while the
// check holds it, what its certificate table and its signature may hold, and which descriptors
// let a placed installer be taken. The signature's chain cases run against the shipped executable
// (tests/e2e/fault_matrix_test.py).
#include "trust/installer_trust.h"

#include "app/system_queries.h"
#include "text/text_conversion.h"
#include "trust/certificate_table.h"
#include "trust/placed_installer.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::wstring WindowsPath(const char* linuxPath)
{
    std::wstring path = L"Z:";
    for (const char* c = linuxPath; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

// Another process that holds `file` open for writing until it is ended.
class Writer {
public:
    explicit Writer(const fs::path& file)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!::CreatePipe(&read, &write, &inherit, 0))
            return;
        ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        std::wstring line = L"\"" + WindowsPath(std::getenv("RORA_FAKE_INSTALLER")) + L"\" --hold-open \"" + file.wstring() + L"\" 60";
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process_)) {
            char said[16] = {};
            DWORD got = 0;
            ::CloseHandle(write);
            write = nullptr;
            holding_ = ::ReadFile(read, said, sizeof(said) - 1, &got, nullptr) && std::string(said).rfind("holding", 0) == 0;
        }
        if (write)
            ::CloseHandle(write);
        ::CloseHandle(read);
    }
    ~Writer()
    {
        if (process_.hProcess) {
            ::TerminateProcess(process_.hProcess, 0);
            ::WaitForSingleObject(process_.hProcess, 10000);
            ::CloseHandle(process_.hProcess);
            ::CloseHandle(process_.hThread);
        }
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Holding() const { return holding_; }

private:
    PROCESS_INFORMATION process_{};
    bool holding_ = false;
};

} // namespace

TEST(InstallerCheck, AFileAnotherProcessHoldsOpenForWritingFailsTheCheck)
{
    const char* signedInstaller = std::getenv("RORA_SIGNED_INSTALLER");
    ASSERT_NE(signedInstaller, nullptr);
    const fs::path file = fs::temp_directory_path() / ("rora-check-" + std::to_string(::GetCurrentProcessId()) + ".exe");
    fs::copy_file(WindowsPath(signedInstaller), file, fs::copy_options::overwrite_existing);
    {
        Writer writer(file);
        ASSERT_TRUE(writer.Holding());
        const trust::CheckedInstaller checked = trust::CheckInstaller(file);
        EXPECT_FALSE(checked.Trusted());
        EXPECT_FALSE(checked.file);
        EXPECT_NE(checked.failure.find("could not be opened for the check"), std::string::npos) << checked.failure;
    }

    // Once the writer is gone the same file passes: the writer, not the file, failed the check.
    EXPECT_TRUE(trust::CheckInstaller(file).Trusted());
    fs::remove(file);
}

namespace {

std::string ReadAll(const char* variable)
{
    std::ifstream in(fs::path(WindowsPath(std::getenv(variable))), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

trust::CertificateTable TableOf(const std::string& bytes)
{
    const fs::path file = fs::temp_directory_path() / ("rora-table-" + std::to_string(::GetCurrentProcessId()) + ".exe");
    std::ofstream(file, std::ios::binary) << bytes;
    auto table = trust::CertificateTable::None;
    std::vector<unsigned char> signature;
    if (const sys::UniqueFile opened(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)); opened)
        table = trust::ReadCertificateTable(opened.Get(), signature);
    fs::remove(file);
    EXPECT_EQ(signature.empty(), table != trust::CertificateTable::SignatureOnly);
    return table;
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    std::memcpy(bytes.data() + at, &value, sizeof(value));
}

} // namespace

// Authenticode's hash leaves the certificate table out: only a table that holds the signature,
// padded with zeros to 8 bytes, is taken.
TEST(CertificateTable, HoldsTheSignatureAndNothingElse)
{
    using trust::CertificateTable;
    // Signed once and twice; one whose signature is no multiple of 8 bytes long, and so padded,
    // is changed below (the certificates' lengths differ a little).
    std::string image;
    std::size_t directory = 0, table = 0, exact = 0;
    for (const char* variable : {"RORA_SIGNED_INSTALLER", "RORA_INSTALLER_OTHER_PUBLISHER", "RORA_INSTALLER_AS_PRODUCT",
             "RORA_SIGNED_BOOTSTRAPPER", "RORA_INSTALLER_SIGNED_TWICE"}) {
        const std::string bytes = ReadAll(variable);
        EXPECT_EQ(TableOf(bytes), CertificateTable::SignatureOnly) << variable;
        std::uint32_t pe = 0, at = 0;
        std::memcpy(&pe, bytes.data() + 0x3c, 4);
        std::memcpy(&at, bytes.data() + pe + 24 + 96 + 4 * 8, 4); // PE32's security directory
        const auto* der = reinterpret_cast<const unsigned char*>(bytes.data()) + at + 8; // 30 82 length
        if (image.empty() && (12 + (der[2] << 8 | der[3])) % 8 != 0)
            image = bytes, directory = pe + 24 + 96 + 4 * 8, table = at, exact = 12 + (der[2] << 8 | der[3]);
    }
    ASSERT_FALSE(image.empty()) << "every signature came out a multiple of 8 bytes long";

    const std::size_t rounded = (exact + 7) / 8 * 8;
    const std::string zeros(16, '\0');
    const struct {
        const char* name;
        std::function<void(std::string&)> change;
        CertificateTable expected;
    } cases[] = {
        {"the entry's length exact", [&](std::string& b) { Put32(b, table, exact); }, CertificateTable::SignatureOnly},
        {"the entry's length 8 more", [&](std::string& b) { Put32(b, table, rounded + 8); }, CertificateTable::Uncovered},
        {"non-zero padding", [&](std::string& b) { b[table + exact] = 1; }, CertificateTable::Uncovered},
        {"two entries", [&](std::string& b) { b += std::string("\x10\0\0\0\0\x02\x02\0", 8) + zeros.substr(8);
                                                Put32(b, directory + 4, rounded + 16); }, CertificateTable::Uncovered},
        {"revision 1", [&](std::string& b) { b[table + 5] = 1; }, CertificateTable::Uncovered},
        {"BER's indefinite length", [&](std::string& b) { b[table + 9] = char(0x80); }, CertificateTable::Uncovered},
        {"a table short of the end of the file", [&](std::string& b) { b += zeros; }, CertificateTable::Uncovered},
    };
    for (const auto& c : cases) {
        std::string bytes = image;
        c.change(bytes);
        EXPECT_EQ(TableOf(bytes), c.expected) << c.name;
    }
}

// What the signature may hold beside the publisher's signature: its chain, the publisher's own
// nested signatures and RFC 3161 time stamps. Each file is the signed installer changed where no
// hash covers it (tests/servers/start-signing.sh). Every certificate is valid today, so the time a
// nested chain is judged at changes nothing here. Wine's crypt32 returns a token's content inside
// its OCTET STRING; the TSTInfo alone, as a system that unwraps it would return it, cannot be shown.
TEST(InstallerSignature, HoldsNothingButSignaturesAndTheirChains)
{
    const std::string uncovered = "it carries data that its signature does not cover";
    const std::string stamp = "its time stamp is not valid";
    const struct {
        const char* variable;
        std::string failure; // empty: taken
    } cases[] = {
        {"RORA_SIGNED_INSTALLER", ""},
        {"RORA_INSTALLER_SIGNED_TWICE", ""}, // time-stamped, and a nested signature of the publisher's
        {"RORA_INSTALLER_RENEWED", ""}, // a new key under the pinned root
        {"RORA_INSTALLER_SECOND_ROOT", "its certificate is not issued under the publisher's own key"},
        {"RORA_INSTALLER_SUPERFLUOUS", uncovered},
        {"RORA_INSTALLER_MADE_UP_CA", uncovered},
        {"RORA_INSTALLER_CRL", uncovered},
        {"RORA_INSTALLER_UNSIGNED_BLOB", uncovered},
        {"RORA_INSTALLER_COUNTERSIGNED", uncovered},
        {"RORA_INSTALLER_NESTED_STRANGER", "it carries a signature that is not the publisher's"},
        // The signature over the attributes still verifies; the messageDigest no longer matches.
        {"RORA_INSTALLER_NESTED_CHANGED", "it carries a signature that does not verify"},
        {"RORA_INSTALLER_STAMP_CHANGED", stamp},
        {"RORA_INSTALLER_STAMP_UNTRUSTED", stamp},
        {"RORA_INSTALLER_STAMP_ELSEWHERE", stamp}, // a valid token, but for another signature
        {"RORA_INSTALLER_STAMP_STRAY", uncovered},
    };
    for (const auto& c : cases) {
        const char* path = std::getenv(c.variable);
        ASSERT_NE(path, nullptr) << c.variable;
        const trust::CheckedInstaller checked = trust::CheckInstaller(WindowsPath(path));
        const std::string expected
            = c.failure.empty() ? "" : "The installer's signature could not be verified: " + c.failure + ".";
        EXPECT_EQ(checked.failure, expected) << c.variable;
    }
}

// Whether a placed installer and its folders are taken, by their descriptors. The first three
// are as an elevated administrator leaves them below the common application data folder, whose
// own descriptor is the first.
TEST(PlacedInstallerSecurity, OnlyTrustedAccountsMayChangeThePlacedInstaller)
{
    using trust::PlacedObject;
    const std::wstring self = sys::CurrentUserSid();
    const struct {
        std::wstring sddl;
        PlacedObject object;
        bool taken;
    } cases[] = {
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)",
            PlacedObject::Folder, true},
        {L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;FA;;;CO)(A;ID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"
         L"(A;CIID;0x116;;;BU)", PlacedObject::Folder, true},
        {L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", PlacedObject::File, true},
        {L"O:" + self + L"D:(A;;FA;;;" + self + L")(A;;FA;;;OW)(D;;FA;;;WD)", PlacedObject::File, true},
        {L"O:BAD:", PlacedObject::File, true}, // an empty DACL grants nothing
        {L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", PlacedObject::File, false},
        {L"O:BAD:(A;;GW;;;BU)", PlacedObject::File, false},
        {L"O:BAD:(A;;SD;;;WD)", PlacedObject::Folder, false},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        EXPECT_EQ(trust::OnlyTrustedCanChange(descriptor, c.object, self), c.taken) << text::ToUtf8(c.sddl);
        ::LocalFree(descriptor);
    }

    // What Wine's SDDL cannot give: a conditional allow entry (XA), and a NULL DACL, which grants
    // everything to everyone (Wine reads D:NO_ACCESS_CONTROL as an empty DACL).
    alignas(DWORD) BYTE acl[64], administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    const BYTE conditional[] = {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, 0, 24, 0, 0xff, 0x01, 0x1f, 0x00, // all access
        1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 'a', 'r', 't', 'x'}; // Everyone, a condition's mark
    ASSERT_TRUE(::InitializeAcl(reinterpret_cast<PACL>(acl), sizeof(acl), ACL_REVISION));
    ASSERT_TRUE(::AddAce(reinterpret_cast<PACL>(acl), ACL_REVISION, MAXDWORD, const_cast<BYTE*>(conditional), sizeof(conditional)));
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    for (PACL dacl : {reinterpret_cast<PACL>(acl), PACL{}}) {
        SECURITY_DESCRIPTOR descriptor;
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorOwner(&descriptor, administrators, FALSE);
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
        EXPECT_FALSE(trust::OnlyTrustedCanChange(&descriptor, PlacedObject::File, self)) << (dacl ? "conditional" : "NULL DACL");
    }
}
