#include "imap/Xoauth2.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/FlatJson.h"

std::string Xoauth2Response(const std::string& account, const std::string& token) {
    const std::string plain = "user=" + account + "\x01" + "auth=Bearer " + token + "\x01\x01";
    std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                  reinterpret_cast<const unsigned char*>(plain.data()),
                                  static_cast<int>(plain.size()));
    encoded.resize(static_cast<size_t>(std::max(n, 0)));
    return encoded;
}

std::string Xoauth2Refusal(std::string_view challenge) {
    std::string text(challenge);
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == ' '; }),
               text.end());
    std::string status;
    if (!text.empty() && text.size() % 4 == 0 && text.size() <= 4 * kMaxFlatJson / 3) {
        std::vector<unsigned char> plain(text.size() / 4 * 3 + 1);
        const int n =
            EVP_DecodeBlock(plain.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
        if (n > 0) {
            // EVP_DecodeBlock counts the padding as bytes.
            size_t size = static_cast<size_t>(n);
            for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i)
                --size;
            const auto members =
                ParseFlatJson(std::string_view(reinterpret_cast<char*>(plain.data()), size));
            if (members && members->count("status")) {
                status = members->at("status");
                // Only what a status can hold goes into the reason.
                if (status.size() > 16 ||
                    !std::all_of(status.begin(), status.end(),
                                 [](unsigned char c) { return std::isalnum(c); }))
                    status.clear();
            }
        }
    }
    return status.empty() ? "token refused" : "token refused (" + status + ")";
}
