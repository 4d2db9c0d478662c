#include "reports/same_secret.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace gw::reports {

bool SameSecret(std::string_view a, std::string_view b) {
    // Digests first, so that neither the length nor the first difference shows in the time.
    unsigned char digest_a[EVP_MAX_MD_SIZE];
    unsigned char digest_b[EVP_MAX_MD_SIZE];
    unsigned int size_a = 0;
    unsigned int size_b = 0;
    if (EVP_Digest(a.data(), a.size(), digest_a, &size_a, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(b.data(), b.size(), digest_b, &size_b, EVP_sha256(), nullptr) != 1 ||
        size_a != size_b) {
        return false;
    }
    return CRYPTO_memcmp(digest_a, digest_b, size_a) == 0;
}

}  // namespace gw::reports
