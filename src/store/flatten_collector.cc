#include "store/flatten_collector.h"

#include <algorithm>

#include "store/engine_state.h"

namespace vedra {

FlattenRole flatten_role(std::string_view key) {
  switch (key.size()) {
    case 4:
      if (key == "code") return FlattenRole::kCode;
      if (key == "name") return FlattenRole::kName;
      break;
    case 6:
      if (key == "pinyin") return FlattenRole::kPinyin;
      if (key == "market") return FlattenRole::kMarket;
      if (key == "region") return FlattenRole::kRegion;
      break;
    case 10:
      if (key == "asset_type") return FlattenRole::kAssetType;
      if (key == "categories") return FlattenRole::kCategories;
      if (key == "attributes") return FlattenRole::kAttributes;
      break;
    default:
      break;
  }
  return FlattenRole::kOther;
}

void FlattenCollector::begin() {
  size_ = 0;
  pieces_.clear();
  for (TopMember& m : top_) m = TopMember{FlattenRole::kOther, false, Span{}, 0, 0};
}

void FlattenCollector::grow(size_t n) {
  const size_t want = std::max({size_ + n, 2 * capacity_, size_t{256}});
  std::unique_ptr<char[]> more(new char[want]);
  if (size_ != 0) std::memcpy(more.get(), text_.get(), size_);
  text_ = std::move(more);
  capacity_ = want;
}

FlattenCollector::Span FlattenCollector::dotted(Span parent, std::string_view key) {
  const size_t n = parent.size + 1 + key.size();
  // Room first: the parent may be one of the texts that growing moves.
  if (capacity_ - size_ < n) grow(n);
  char* const w = text_.get() + size_;
  std::memcpy(w, view(parent).data(), parent.size);
  w[parent.size] = '.';
  if (!key.empty()) std::memcpy(w + parent.size + 1, key.data(), key.size());
  const Span s{nullptr, size_, n};
  size_ += n;
  return s;
}

Status FlattenCollector::finish(FlattenedRecord& out) {
  auto named_text = [&](FlattenRole r, std::string& dest) {
    const TopMember& m = top_[static_cast<size_t>(r)];
    if (m.is_string) {
      dest.assign(view(m.text));
    } else {
      dest.clear();
    }
  };
  named_text(FlattenRole::kCode, out.code);
  named_text(FlattenRole::kName, out.name);
  named_text(FlattenRole::kPinyin, out.pinyin);
  collected_.clear();
  collected_.reserve(pieces_.size() + 3);
  // market, asset_type and region untrimmed, each under its own name; then
  // the members of "categories", then those of "attributes".
  static constexpr std::pair<FlattenRole, std::string_view> kScalars[] = {
      {FlattenRole::kMarket, "market"}, {FlattenRole::kAssetType, "asset_type"}, {FlattenRole::kRegion, "region"}};
  for (const auto& [role, field] : kScalars) {
    const TopMember& m = top_[static_cast<size_t>(role)];
    if (m.is_string && m.text.size != 0) collected_.emplace_back(field, view(m.text));
  }
  for (FlattenRole role : {FlattenRole::kCategories, FlattenRole::kAttributes}) {
    const TopMember& m = top_[static_cast<size_t>(role)];
    for (size_t k = m.pieces_begin; k < m.pieces_end; ++k) {
      collected_.emplace_back(view(pieces_[k].first), view(pieces_[k].second));
    }
  }
  return join_field_values(collected_, out.fields);
}

void FlattenCollector::trim() {
  constexpr size_t kKeptBytes = size_t{64} << 10, kKeptPieces = 1024;
  if (capacity_ > kKeptBytes) {
    text_.reset();
    size_ = capacity_ = 0;
  }
  if (pieces_.capacity() > kKeptPieces) decltype(pieces_)().swap(pieces_);
  if (moved_.capacity() > kKeptPieces) decltype(moved_)().swap(moved_);
  if (collected_.capacity() > kKeptPieces) CollectedViews().swap(collected_);
}

}  // namespace vedra
