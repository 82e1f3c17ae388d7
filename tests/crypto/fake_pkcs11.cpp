// A PKCS#11 module that behaves the ways no software token here can: its token's PIN is
// locked, and (with FAKE_PKCS11_HANG_UNTIL) it does not answer C_GetSlotList until the named
// file exists, like a reader that hangs. It holds one certificate (the DER file named by
// FAKE_PKCS11_CERTIFICATE, CKA_ID 01) with the public key object of its pair, and creates the
// file named by FAKE_PKCS11_FINALIZED when it is finalised.
#include <p11-kit/pkcs11.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr CK_SLOT_ID SLOT = 7;
constexpr CK_SESSION_HANDLE SESSION = 1;
constexpr CK_OBJECT_HANDLE CERTIFICATE = 1;
constexpr CK_OBJECT_HANDLE PUBLIC_KEY = 2;

std::vector<unsigned char> certificate;
unsigned char id[] = {0x01};
CK_OBJECT_HANDLE found[2];
CK_ULONG found_count = 0;
CK_ULONG found_next = 0;

void pad(unsigned char* field, std::size_t size, const char* text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::strlen(text));
}

CK_RV initialize(void*) {
    const char* path = std::getenv("FAKE_PKCS11_CERTIFICATE");
    if (path == nullptr)
        return CKR_GENERAL_ERROR;
    std::ifstream in(path, std::ios::binary);
    certificate.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return CKR_OK;
}

CK_RV finalize(void*) {
    if (const char* mark = std::getenv("FAKE_PKCS11_FINALIZED"))
        std::ofstream{mark};
    return CKR_OK;
}

CK_RV get_info(CK_INFO* info) {
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    pad(info->manufacturerID, sizeof info->manufacturerID, "Varnel tests");
    pad(info->libraryDescription, sizeof info->libraryDescription, "Locked token");
    return CKR_OK;
}

CK_RV get_slot_list(CK_BBOOL, CK_SLOT_ID* slots, CK_ULONG* count) {
    if (const char* release = std::getenv("FAKE_PKCS11_HANG_UNTIL"))
        while (::access(release, F_OK) != 0)
            ::usleep(10000);
    if (slots != nullptr) {
        if (*count < 1)
            return CKR_BUFFER_TOO_SMALL;
        slots[0] = SLOT;
    }
    *count = 1;
    return CKR_OK;
}

CK_RV get_token_info(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    if (slot != SLOT)
        return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof *info);
    pad(info->label, sizeof info->label, "Locked");
    pad(info->manufacturerID, sizeof info->manufacturerID, "Varnel tests");
    pad(info->model, sizeof info->model, "fake");
    pad(info->serialNumber, sizeof info->serialNumber, "0001");
    info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_LOCKED;
    return CKR_OK;
}

CK_RV open_session(CK_SLOT_ID slot, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
    if (slot != SLOT)
        return CKR_SLOT_ID_INVALID;
    *session = SESSION;
    return CKR_OK;
}

CK_RV close_session(CK_SESSION_HANDLE) {
    return CKR_OK;
}

CK_RV close_all_sessions(CK_SLOT_ID) {
    return CKR_OK;
}

CK_RV get_session_info(CK_SESSION_HANDLE, CK_SESSION_INFO* info) {
    std::memset(info, 0, sizeof *info);
    info->slotID = SLOT;
    info->state = CKS_RO_PUBLIC_SESSION;
    info->flags = CKF_SERIAL_SESSION;
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR*, CK_ULONG) {
    return CKR_PIN_LOCKED;
}

CK_RV logout(CK_SESSION_HANDLE) {
    return CKR_USER_NOT_LOGGED_IN;
}

CK_RV find_init(CK_SESSION_HANDLE, CK_ATTRIBUTE* pattern, CK_ULONG count) {
    found_count = found_next = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (pattern[i].type != CKA_CLASS)
            continue;
        const CK_OBJECT_CLASS type = *static_cast<CK_OBJECT_CLASS*>(pattern[i].pValue);
        if (type == CKO_CERTIFICATE)
            found[found_count++] = CERTIFICATE;
        else if (type == CKO_PUBLIC_KEY)
            found[found_count++] = PUBLIC_KEY;
    }
    return CKR_OK;
}

CK_RV find(CK_SESSION_HANDLE, CK_OBJECT_HANDLE* objects, CK_ULONG most, CK_ULONG* count) {
    *count = 0;
    while (found_next < found_count && *count < most)
        objects[(*count)++] = found[found_next++];
    return CKR_OK;
}

CK_RV find_final(CK_SESSION_HANDLE) {
    return CKR_OK;
}

CK_RV get_attribute_value(CK_SESSION_HANDLE, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        const void* value = nullptr;
        CK_ULONG size = 0;
        if (attributes[i].type == CKA_ID) {
            value = id;
            size = sizeof id;
        } else if (attributes[i].type == CKA_VALUE && object == CERTIFICATE) {
            value = certificate.data();
            size = certificate.size();
        }
        if (value == nullptr) {
            attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (attributes[i].pValue != nullptr) {
            if (attributes[i].ulValueLen < size)
                return CKR_BUFFER_TOO_SMALL;
            std::memcpy(attributes[i].pValue, value, size);
        }
        attributes[i].ulValueLen = size;
    }
    return rv;
}

CK_FUNCTION_LIST functions = [] {
    CK_FUNCTION_LIST list{};
    list.version = {2, 40};
    list.C_Initialize = initialize;
    list.C_Finalize = finalize;
    list.C_GetInfo = get_info;
    list.C_GetSlotList = get_slot_list;
    list.C_GetTokenInfo = get_token_info;
    list.C_OpenSession = open_session;
    list.C_CloseSession = close_session;
    list.C_CloseAllSessions = close_all_sessions;
    list.C_GetSessionInfo = get_session_info;
    list.C_Login = login;
    list.C_Logout = logout;
    list.C_FindObjectsInit = find_init;
    list.C_FindObjects = find;
    list.C_FindObjectsFinal = find_final;
    list.C_GetAttributeValue = get_attribute_value;
    return list;
}();

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    *list = &functions;
    return CKR_OK;
}
