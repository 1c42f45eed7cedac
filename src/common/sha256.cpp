#include "common/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace tl {

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() {
  if (state_ && state_->ctx) EVP_MD_CTX_free(state_->ctx);
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&& o) noexcept {
  if (this != &o) {
    if (state_ && state_->ctx) EVP_MD_CTX_free(state_->ctx);
    state_ = std::move(o.state_);
  }
  return *this;
}

void Sha256::update(const void* data, std::size_t n) {
  if (n) EVP_DigestUpdate(state_->ctx, data, n);
}

void Sha256::update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> out{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(state_->ctx, out.data(), &len);
  return out;
}

std::string Sha256::finishHex() {
  auto d = finish();
  return toLowerHex(d.data(), d.size());
}

std::array<std::uint8_t, 32> Sha256::digest(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

std::string sha256Hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finishHex();
}

}  // namespace tl
