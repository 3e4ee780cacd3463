#include "link/network_session.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/frame.h"

namespace zel {

void WritePacketHeader(uint8_t* packet, uint16_t sequence, uint8_t type) {
  packet[0] = static_cast<uint8_t>(sequence & 0xFF);
  packet[1] = static_cast<uint8_t>(sequence >> 8);
  packet[2] = type;
  packet[3] = 0;  // reserved
}

uint16_t PacketSequence(const uint8_t* packet) {
  return static_cast<uint16_t>(packet[0] | packet[1] << 8);
}

PrivateKey DeriveSessionKey(const PrivateKey& key, const SessionId& session_id) {
  PrivateKey session = key;
  for (uint32_t i = 0; i < kSessionIdSize; ++i) session[kSessionIdKeyOffset + i] ^= session_id[i];
  return session;
}

void MaskBlocks(uint8_t* blocks, uint32_t size, uint16_t sequence) {
  for (uint32_t at = 0; at + kCipherBlockSize <= size; at += kCipherBlockSize) {
    blocks[at] ^= static_cast<uint8_t>(sequence & 0xFF);
    blocks[at + 1] ^= static_cast<uint8_t>(sequence >> 8);
  }
}

// One context per direction, each keyed once per session and then reused for every packet: with
// ECB and padding off, an update over whole blocks leaves nothing buffered in the context.
struct SessionCipher::Contexts {
  EVP_CIPHER_CTX* encrypt = nullptr;
  EVP_CIPHER_CTX* decrypt = nullptr;
  ~Contexts() {
    EVP_CIPHER_CTX_free(encrypt);
    EVP_CIPHER_CTX_free(decrypt);
  }
};

SessionCipher::SessionCipher() = default;
SessionCipher::~SessionCipher() = default;

HRESULT SessionCipher::SetKey(const PrivateKey& key) {
  ready_ = false;
  auto fresh = std::make_unique<Contexts>();
  fresh->encrypt = EVP_CIPHER_CTX_new();
  fresh->decrypt = EVP_CIPHER_CTX_new();
  if (fresh->encrypt == nullptr || fresh->decrypt == nullptr) return E_OUTOFMEMORY;
  if (EVP_EncryptInit_ex(fresh->encrypt, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
      EVP_DecryptInit_ex(fresh->decrypt, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(fresh->encrypt, 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(fresh->decrypt, 0) != 1) {
    return E_COMM_KEY_SETUP_FAILED;
  }
  contexts_ = std::move(fresh);
  ready_ = true;
  return S_OK;
}

HRESULT SessionCipher::Encrypt(uint8_t* blocks, uint32_t size) {
  if (!ready_) return E_UNEXPECTED;
  if (size % kCipherBlockSize != 0) return E_INVALIDARG;
  if (size == 0) return S_OK;
  int out = 0;
  if (EVP_EncryptUpdate(contexts_->encrypt, blocks, &out, blocks, static_cast<int>(size)) != 1 ||
      out != static_cast<int>(size)) {
    return E_FAIL;
  }
  return S_OK;
}

HRESULT SessionCipher::Decrypt(uint8_t* blocks, uint32_t size) {
  if (!ready_) return E_UNEXPECTED;
  if (size % kCipherBlockSize != 0) return E_INVALIDARG;
  if (size == 0) return S_OK;
  int out = 0;
  if (EVP_DecryptUpdate(contexts_->decrypt, blocks, &out, blocks, static_cast<int>(size)) != 1 ||
      out != static_cast<int>(size)) {
    return E_FAIL;
  }
  return S_OK;
}

HRESULT SessionCipher::Seal(uint8_t* blocks, uint32_t size, uint16_t sequence) {
  if (size % kCipherBlockSize != 0) return E_INVALIDARG;
  MaskBlocks(blocks, size, sequence);
  return Encrypt(blocks, size);
}

HRESULT SessionCipher::Open(uint8_t* blocks, uint32_t size, uint16_t sequence) {
  ZEL_TRY(Decrypt(blocks, size));
  MaskBlocks(blocks, size, sequence);
  return S_OK;
}

HRESULT OpenFrameAnswer(SessionCipher* cipher, uint8_t* datagram, uint32_t size, uint16_t sequence,
                        uint8_t** reply) {
  *reply = nullptr;
  if (size < kPacketHeaderSize) return E_COMM_SHORT_READ;
  if (PacketSequence(datagram) != sequence || PacketType(datagram) != kPacketFrame) {
    return E_UNEXPECTED;
  }
  // Left open by the contract: an empty payload or one of partial blocks is refused.
  uint32_t payload = size - kPacketHeaderSize;
  if (payload == 0 || payload % kCipherBlockSize != 0) return E_COMM_SHORT_READ;
  ZEL_TRY(cipher->Open(datagram + kPacketHeaderSize, payload, sequence));
  uint32_t capacity = std::max(payload, kMaxFrameSize);
  auto* buffer = static_cast<uint8_t*>(std::calloc(capacity, 1));
  if (buffer == nullptr) return E_OUTOFMEMORY;
  std::memcpy(buffer, datagram + kPacketHeaderSize, payload);
  *reply = buffer;
  return S_OK;
}

std::string FormatPrivateKey(const PrivateKey& key) {
  std::string text;
  text.reserve(kPrivateKeyTextLength);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < key.size(); ++i) {
    if (i > 0) text.push_back('-');
    text.push_back(kDigits[key[i] >> 4]);
    text.push_back(kDigits[key[i] & 0x0F]);
  }
  return text;
}

namespace {

uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;  // any other character counts 0; the group is still taken
}

}  // namespace

HRESULT ParsePrivateKey(std::string_view text, PrivateKey* key) {
  if (key == nullptr) return E_POINTER;
  std::vector<std::string_view> tokens;
  size_t at = 0;
  while (at < text.size()) {
    size_t start = text.find_first_not_of('-', at);
    if (start == std::string_view::npos) break;
    size_t end = text.find('-', start);
    if (end == std::string_view::npos) end = text.size();
    tokens.push_back(text.substr(start, end - start));
    at = end;
  }
  if (tokens.size() > key->size()) return E_FAIL;
  PrivateKey parsed = *key;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].size() != 2) return E_FAIL;
    parsed[i] = static_cast<uint8_t>(HexValue(tokens[i][0]) * 16 + HexValue(tokens[i][1]));
  }
  *key = parsed;
  return S_OK;
}

}  // namespace zel
