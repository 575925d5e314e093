#include "solver/fire_sim_state.h"

#include <cstring>
#include <utility>

#include "device/device_memory.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// "TFS1", the grid, the number of arrays, then per array its tag, its length in floats and the
// floats, all little-endian as the machine stores them.
constexpr uint32_t kStateMagic = 0x31534654u;

struct Array {
  uint32_t tag;
  float** field;
  size_t count;
  bool optional;  // allocated on first use; absent in the bytes when not allocated
};

// The arrays a state carries: those of the solver's table with a tag, optional ones only when
// allocated.
std::vector<Array> Arrays(FireSim::Impl& s) {
  std::vector<Array> out;
  for (const ArraySlot& a : SolverArrays())
    if (a.tag != 0)
      out.push_back({a.tag, &(s.*a.member), FireSim::Impl::ElementCount(s.grid, a.shape), a.block == kOptionalArray});
  return out;
}

void Put(std::vector<uint8_t>& out, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

template <typename T>
void PutValue(std::vector<uint8_t>& out, T value) {
  Put(out, &value, sizeof value);
}

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  template <typename T>
  bool Get(T& value) {
    if (bytes_.size() - pos_ < sizeof value) return false;
    std::memcpy(&value, bytes_.data() + pos_, sizeof value);
    pos_ += sizeof value;
    return true;
  }
  const uint8_t* Take(size_t n) {
    if (bytes_.size() - pos_ < n) return nullptr;
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

bool SaveFireSimState(FireSim& sim, std::vector<uint8_t>& out) {
  FireSim::Impl& s = sim.Internals();
  if (!s.ready) return false;
  const std::vector<Array> arrays = Arrays(s);
  uint32_t present = 0;
  for (const Array& a : arrays) present += *a.field ? 1 : 0;
  PutValue(out, kStateMagic);
  PutValue(out, s.grid.nx);
  PutValue(out, s.grid.ny);
  PutValue(out, s.grid.nz);
  PutValue(out, present);
  std::vector<float> host;
  for (const Array& a : arrays) {
    if (!*a.field) continue;
    host.resize(a.count);
    Download(s.exec(), host.data(), *a.field, a.count * sizeof(float));
    PutValue(out, a.tag);
    PutValue(out, uint64_t(a.count));
    Put(out, host.data(), a.count * sizeof(float));
  }
  return true;
}

bool LoadFireSimState(FireSim& sim, std::span<const uint8_t> bytes, std::string* error) {
  const auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  FireSim::Impl& s = sim.Internals();
  if (!s.ready) return fail("the solver is not ready");
  Reader in(bytes);
  uint32_t magic = 0, present = 0;
  int32_t nx = 0, ny = 0, nz = 0;
  if (!in.Get(magic) || magic != kStateMagic || !in.Get(nx) || !in.Get(ny) || !in.Get(nz) || !in.Get(present)) {
    return fail("not a solver state");
  }
  if (nx != s.grid.nx || ny != s.grid.ny || nz != s.grid.nz) {
    return fail("the state is of a " + std::to_string(nx) + "x" + std::to_string(ny) + "x" + std::to_string(nz) +
                " grid, the domain's grid is " + std::to_string(s.grid.nx) + "x" + std::to_string(s.grid.ny) + "x" +
                std::to_string(s.grid.nz));
  }
  // Check everything before changing anything.
  std::vector<Array> arrays = Arrays(s);
  std::vector<std::pair<Array*, const uint8_t*>> found;
  for (uint32_t i = 0; i < present; ++i) {
    uint32_t tag = 0;
    uint64_t count = 0;
    if (!in.Get(tag) || !in.Get(count)) break;
    Array* match = nullptr;
    for (Array& a : arrays)
      if (a.tag == tag && a.count == count) match = &a;
    for (const auto& f : found)
      if (f.first == match) match = nullptr;
    const uint8_t* data = match ? in.Take(size_t(count) * sizeof(float)) : nullptr;
    if (!data) break;
    found.emplace_back(match, data);
  }
  bool complete = found.size() == present && in.AtEnd();
  for (const Array& a : arrays) {
    bool listed = false;
    for (const auto& f : found) listed |= f.first->tag == a.tag;
    if (!a.optional && !listed) complete = false;
  }
  if (!complete) return fail("the solver state is incomplete or damaged");
  for (const auto& [array, data] : found) {
    if (!*array->field && !s.allocate(*array->field, array->count)) return fail("out of memory");
    Upload(s.exec(), *array->field, data, array->count * sizeof(float));
  }
  WaitStream(s.exec());
  return true;
}

}  // namespace tf
