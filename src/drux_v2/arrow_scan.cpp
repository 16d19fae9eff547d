// Arrow-native scans: chunk pruning from the footer, block decoding into
// Arrow buffers, exact row filtering, and the C stream producer; see
// arrow_scan.h for the type mapping.
//
// Integer payloads go through the integer decoders and are copied once into
// their aligned buffer; string and bytes payloads are parsed straight into
// offsets and data, with no allocation per cell. Nested cells are decoded
// one by one into KVal and rendered as JSON: they are the rare kind.
#include "drux_v2/arrow_scan.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "drux_v2/aes256.h"
#include "drux_v2/column_block.h"
#include "drux_v2/int_codecs.h"
#include "drux_v2/nested_codec.h"
#include "drux_v2/utf8_check.h"

namespace drux {

namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kFloatPrefixSize = 2;  // marker, decimal places
// Float cells read back clamped to what a scaled int64 can hold.
constexpr double kLargestFloatRead = 9223372036854775807.0 / kFloatScale;

std::string str(std::uint64_t v) { return std::to_string(v); }

Error in_block(const KColumn& column, std::uint32_t chunk, const Error& error) {
  return Error{"chunk " + str(chunk) + ", column '" + column.name + "': " + error.message, error.kind};
}

// ---- Decoding blocks into Arrow buffers ----------------------------------------

Status decode_numbers(ColType type, Encoding encoding, ByteView data, std::size_t rows, ArrowColumn& out) {
  const bool scaled = type == ColType::Float;
  if (scaled) {
    DRUX_FAIL_IF(data.size() < kFloatPrefixSize || data[0] != kFloatMarker || data[1] != kFloatDecimals,
                 "float payload does not open with the marker FE 04");
    data = data.subspan(kFloatPrefixSize);
  }
  auto ints = decode_ints(encoding, data, rows);
  if (!ints) return ints.error_value();
  out.values.allocate(rows * sizeof(std::int64_t));
  if (scaled) {
    auto* values = reinterpret_cast<double*>(out.values.data());
    const std::int64_t* stored = ints->data();
    for (std::size_t r = 0; r < rows; ++r) values[r] = static_cast<double>(stored[r]) / kFloatScale;
  } else if (rows > 0) {
    std::memcpy(out.values.data(), ints->data(), rows * sizeof(std::int64_t));
  }
  return {};
}

Status decode_bools(ByteView data, std::size_t rows, ArrowColumn& out) {
  const std::size_t full_bytes = rows / 8;
  const std::size_t tail_bits = rows % 8;
  DRUX_FAIL_IF(data.size() != full_bytes + (tail_bits != 0 ? 1 : 0),
               "boolean bitmap of " + str(data.size()) + " bytes for " + str(rows) + " rows");
  DRUX_FAIL_IF(tail_bits != 0 && (data[full_bytes] >> tail_bits) != 0,
               "boolean bitmap has bits set past the last row");
  out.values.allocate(data.size());
  if (!data.empty()) std::memcpy(out.values.data(), data.data(), data.size());
  return {};
}

// String and bytes payloads: varint length, then the bytes, per cell.
// `utf8`: the items are texts, which must be valid UTF-8 as Arrow's utf8 requires.
Status decode_items(ByteView data, std::size_t rows, ArrowColumn& out, const char* what, bool utf8) {
  // Every cell costs at least its one-byte length.
  DRUX_FAIL_IF(rows > data.size(), std::string(what) + " payload too short for " + str(rows) + " rows");
  // A payload is one decoded block, within the reader's block limit; past
  // 2 GiB its text would not fit the 32-bit offsets of utf8 and binary.
  DRUX_FAIL_IF(data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()),
               std::string(what) + " payload over 2 GiB, more than 32-bit Arrow offsets reach");
  out.values.allocate((rows + 1) * sizeof(std::int32_t));
  out.data.allocate(data.size());
  auto* offsets = reinterpret_cast<std::int32_t*>(out.values.data());
  std::uint8_t* text = out.data.data();
  ByteReader in(data);
  std::size_t end = 0;
  offsets[0] = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    std::uint64_t length;
    ByteView item;
    DRUX_FAIL_IF(!in.read_varint(length) || !in.read_bytes(length, item),
                 std::string(what) + " payload ends inside row " + str(r));
    DRUX_FAIL_IF(utf8 && !is_valid_utf8(reinterpret_cast<const char*>(item.data()), item.size()),
                 std::string(what) + " in row " + str(r) + " is not valid UTF-8");
    std::memcpy(text + end, item.data(), item.size());
    end += item.size();
    offsets[r + 1] = static_cast<std::int32_t>(end);
  }
  DRUX_FAIL_IF(!in.at_end(), std::string(what) + " payload has bytes after the last row");
  return {};
}

void append_hex(std::string& out, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
}

void append_json_text(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b == '"' || b == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (b < 0x20) {
      static constexpr char kDigits[] = "0123456789abcdef";
      out += "\\u00";
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 15]);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

void append_json(std::string& out, const KVal& value) {
  char number[32];
  switch (value.tag()) {
    case KTag::Int: {
      auto end = std::to_chars(number, number + sizeof number, value.int_value()).ptr;
      out.append(number, end);
      return;
    }
    case KTag::Float: {
      const double f = value.float_value();
      if (!std::isfinite(f)) {
        out += "null";
        return;
      }
      auto end = std::to_chars(number, number + sizeof number, f).ptr;
      out.append(number, end);
      return;
    }
    case KTag::Bool: out += value.bool_value() ? "true" : "false"; return;
    case KTag::Str: append_json_text(out, value.str_value()); return;
    case KTag::Bytes:
      out.push_back('"');
      append_hex(out, value.bytes_value());
      out.push_back('"');
      return;
    case KTag::Null: out += "null"; return;
    case KTag::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [name, field] : value.object_value()) {
        if (!std::exchange(first, false)) out.push_back(',');
        append_json_text(out, name);
        out.push_back(':');
        append_json(out, field);
      }
      out.push_back('}');
      return;
    }
    case KTag::List: {
      out.push_back('[');
      bool first = true;
      for (const KVal& item : value.list_value()) {
        if (!std::exchange(first, false)) out.push_back(',');
        append_json(out, item);
      }
      out.push_back(']');
      return;
    }
    case KTag::Map: {
      out.push_back('[');
      bool first = true;
      for (const auto& [key, item] : value.map_value()) {
        if (!std::exchange(first, false)) out.push_back(',');
        out.push_back('[');
        append_json(out, key);
        out.push_back(',');
        append_json(out, item);
        out.push_back(']');
      }
      out.push_back(']');
      return;
    }
  }
}

void set_bit(std::uint8_t* bits, std::size_t i) { bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8)); }
bool get_bit(const std::uint8_t* bits, std::size_t i) { return ((bits[i / 8] >> (i % 8)) & 1) != 0; }

Status decode_nested(ByteView data, std::size_t rows, ArrowColumn& out) {
  DRUX_FAIL_IF(rows > data.size(), "nested payload too short for " + str(rows) + " rows");
  std::vector<std::int64_t> offsets(rows + 1, 0);
  std::string text;
  out.validity.allocate((rows + 7) / 8);
  ByteReader in(data);
  for (std::size_t r = 0; r < rows; ++r) {
    std::uint64_t length;
    ByteView item;
    DRUX_FAIL_IF(!in.read_varint(length) || !in.read_bytes(length, item),
                 "nested payload ends inside row " + str(r));
    auto value = decode_nested_val(item);
    DRUX_FAIL_IF(!value, "row " + str(r) + ": " + value.error());
    if (value->is_null()) {
      ++out.null_count;
    } else {
      set_bit(out.validity.data(), r);
      append_json(text, value.value());
    }
    offsets[r + 1] = static_cast<std::int64_t>(text.size());
  }
  DRUX_FAIL_IF(!in.at_end(), "nested payload has bytes after the last row");
  out.values.allocate(offsets.size() * sizeof(std::int64_t));
  std::memcpy(out.values.data(), offsets.data(), offsets.size() * sizeof(std::int64_t));
  out.data.allocate(text.size());
  if (!text.empty()) std::memcpy(out.data.data(), text.data(), text.size());
  if (out.null_count == 0) out.validity = AlignedBuffer{};
  return {};
}

// ---- Reading cells of a decoded column -------------------------------------------

std::int64_t int_at(const ArrowColumn& c, std::size_t r) { return reinterpret_cast<const std::int64_t*>(c.values.data())[r]; }
double float_at(const ArrowColumn& c, std::size_t r) { return reinterpret_cast<const double*>(c.values.data())[r]; }
std::string_view text_at(const ArrowColumn& c, std::size_t r) {
  const auto* offsets = reinterpret_cast<const std::int32_t*>(c.values.data());
  return {reinterpret_cast<const char*>(c.data.data()) + offsets[r], static_cast<std::size_t>(offsets[r + 1] - offsets[r])};
}

// ---- Comparisons shared by pruning and row filtering -----------------------------

enum class Order : std::uint8_t { Less, Equal, Greater, Unordered };

template <class T>
Order order_of(const T& a, const T& b) {
  if (a < b) return Order::Less;
  if (b < a) return Order::Greater;
  if (a == b) return Order::Equal;
  return Order::Unordered;  // NaN
}

// A number cell of an integer or boolean column against an operand: exact
// when the operand is an integer.
Order order_int(std::int64_t x, const FilterValue& v) {
  return v.kind == FilterValue::Kind::Int ? order_of(x, v.i) : order_of(static_cast<double>(x), v.f);
}

double as_double(const FilterValue& v) { return v.kind == FilterValue::Kind::Int ? static_cast<double>(v.i) : v.f; }

// Whether `op` holds for a cell, given how the cell orders against each operand.
template <class OrderFn>
bool op_holds(FilterOp op, const std::vector<FilterValue>& values, OrderFn&& order) {
  switch (op) {
    case FilterOp::Eq: return order(values[0]) == Order::Equal;
    case FilterOp::Ne: return order(values[0]) != Order::Equal;
    case FilterOp::Lt: return order(values[0]) == Order::Less;
    case FilterOp::Le: {
      const Order o = order(values[0]);
      return o == Order::Less || o == Order::Equal;
    }
    case FilterOp::Gt: return order(values[0]) == Order::Greater;
    case FilterOp::Ge: {
      const Order o = order(values[0]);
      return o == Order::Greater || o == Order::Equal;
    }
    case FilterOp::In:
    case FilterOp::NotIn: {
      const bool found = std::any_of(values.begin(), values.end(), [&](const FilterValue& v) { return order(v) == Order::Equal; });
      return found == (op == FilterOp::In);
    }
  }
  return false;
}

// Whether a column whose cells all lie in [lo, hi] can hold a cell for which
// `op` holds. `lo` to `hi` is a single known value only when `point`.
template <class LoFn, class HiFn>
bool range_may_hold(FilterOp op, const std::vector<FilterValue>& values, bool point, LoFn&& order_lo,
                    HiFn&& order_hi) {
  auto at_most = [](Order o) { return o == Order::Less || o == Order::Equal; };
  auto at_least = [](Order o) { return o == Order::Greater || o == Order::Equal; };
  auto may_equal = [&](const FilterValue& v) { return at_most(order_lo(v)) && at_least(order_hi(v)); };
  switch (op) {
    case FilterOp::Eq: return may_equal(values[0]);
    case FilterOp::In: return std::any_of(values.begin(), values.end(), may_equal);
    case FilterOp::Ne: return !(point && order_lo(values[0]) == Order::Equal);
    case FilterOp::NotIn:
      return !(point && std::any_of(values.begin(), values.end(),
                                    [&](const FilterValue& v) { return order_lo(v) == Order::Equal; }));
    case FilterOp::Lt: return order_lo(values[0]) == Order::Less;
    case FilterOp::Le: return at_most(order_lo(values[0]));
    case FilterOp::Gt: return order_hi(values[0]) == Order::Greater;
    case FilterOp::Ge: return at_least(order_hi(values[0]));
  }
  return true;
}

bool bloom_may_hold(const BloomFilter& bloom, std::string_view text) {
  BloomFilter bits{};
  add_to_bloom(bits, text);
  for (std::size_t w = 0; w < bits.size(); ++w) {
    if ((bits[w] & bloom[w]) != bits[w]) return false;
  }
  return true;
}

bool term_may_match(const DruxMetadata& meta, std::uint32_t chunk, const FilterTerm& term) {
  const ColumnChunkInfo& entry = meta.entry(chunk, term.column);
  const ColStats& stats = entry.stats;
  const bool nulls = stats.null_count > 0;  // they read back as 0, 0.0, false or ""
  switch (meta.columns[term.column].col_type) {
    case ColType::Int:
    case ColType::Bool: {
      // Nulls read back as 0 (false).
      const std::int64_t lo = nulls ? std::min<std::int64_t>(stats.min_int, 0) : stats.min_int;
      const std::int64_t hi = nulls ? std::max<std::int64_t>(stats.max_int, 0) : stats.max_int;
      auto order_lo = [&](const FilterValue& v) { return order_int(lo, v); };
      auto order_hi = [&](const FilterValue& v) { return order_int(hi, v); };
      return range_may_hold(term.op, term.values, lo == hi, order_lo, order_hi);
    }
    case ColType::Float: {
      // The bounds are the cells truncated to integers, so a cell lies
      // within one of them; a margin covers the rounding to four places, and
      // the clamp the cells that saturated when scaled.
      double lo = std::clamp(static_cast<double>(stats.min_int) - 2.0, -kLargestFloatRead, kLargestFloatRead);
      double hi = std::clamp(static_cast<double>(stats.max_int) + 2.0, -kLargestFloatRead, kLargestFloatRead);
      if (nulls) {
        lo = std::min(lo, 0.0);
        hi = std::max(hi, 0.0);
      }
      auto order_lo = [&](const FilterValue& v) { return order_of(lo, as_double(v)); };
      auto order_hi = [&](const FilterValue& v) { return order_of(hi, as_double(v)); };
      return range_may_hold(term.op, term.values, false, order_lo, order_hi);
    }
    case ColType::Str: {
      // A null is stored, and entered in the filter, as the empty text,
      // which is the least text of all.
      const std::string_view lo = nulls ? std::string_view() : std::string_view(stats.min_str);
      const std::string_view hi = stats.max_str;
      auto order_lo = [&](const FilterValue& v) { return order_of(lo, std::string_view(v.text)); };
      auto order_hi = [&](const FilterValue& v) { return order_of(hi, std::string_view(v.text)); };
      if (!range_may_hold(term.op, term.values, lo == hi, order_lo, order_hi)) return false;
      const bool filter_written = std::any_of(entry.bloom.begin(), entry.bloom.end(), [](std::uint64_t w) { return w != 0; });
      if (filter_written && (term.op == FilterOp::Eq || term.op == FilterOp::In)) {
        return std::any_of(term.values.begin(), term.values.end(),
                           [&](const FilterValue& v) { return bloom_may_hold(entry.bloom, v.text); });
      }
      return true;
    }
    default: return true;  // bytes keep no bounds
  }
}

// Clears mask[r] where the term fails for row r.
void apply_term(const FilterTerm& term, const ArrowColumn& column, std::vector<std::uint8_t>& mask) {
  const std::size_t rows = mask.size();
  switch (column.type) {
    case ColType::Int:
      for (std::size_t r = 0; r < rows; ++r) {
        if (!mask[r]) continue;
        const std::int64_t x = int_at(column, r);
        mask[r] = op_holds(term.op, term.values, [x](const FilterValue& v) { return order_int(x, v); });
      }
      return;
    case ColType::Bool:
      for (std::size_t r = 0; r < rows; ++r) {
        if (!mask[r]) continue;
        const std::int64_t x = get_bit(column.values.data(), r) ? 1 : 0;
        mask[r] = op_holds(term.op, term.values, [x](const FilterValue& v) { return order_int(x, v); });
      }
      return;
    case ColType::Float:
      for (std::size_t r = 0; r < rows; ++r) {
        if (!mask[r]) continue;
        const double x = float_at(column, r);
        mask[r] = op_holds(term.op, term.values, [x](const FilterValue& v) { return order_of(x, as_double(v)); });
      }
      return;
    case ColType::Str:
    case ColType::Bytes:
      for (std::size_t r = 0; r < rows; ++r) {
        if (!mask[r]) continue;
        const std::string_view x = text_at(column, r);
        mask[r] = op_holds(term.op, term.values,
                           [x](const FilterValue& v) { return order_of(x, std::string_view(v.text)); });
      }
      return;
    default: return;  // refused when the scan was made
  }
}

// ---- Taking rows ---------------------------------------------------------------------

// The rows `rows` (all rows when null) of `in` as a column of its own.
ArrowColumn take_rows(const ArrowColumn& in, const std::vector<std::uint32_t>* rows) {
  const std::size_t n = rows ? rows->size() : static_cast<std::size_t>(in.length);
  auto row = [rows](std::size_t i) { return rows ? std::size_t{(*rows)[i]} : i; };
  ArrowColumn out;
  out.type = in.type;
  out.length = static_cast<std::int64_t>(n);
  switch (in.type) {
    case ColType::Int:
    case ColType::Float: {
      out.values.allocate(n * 8);
      for (std::size_t i = 0; i < n; ++i) std::memcpy(out.values.data() + 8 * i, in.values.data() + 8 * row(i), 8);
      return out;
    }
    case ColType::Bool:
      out.values.allocate((n + 7) / 8);
      for (std::size_t i = 0; i < n; ++i) {
        if (get_bit(in.values.data(), row(i))) set_bit(out.values.data(), i);
      }
      return out;
    case ColType::Str:
    case ColType::Bytes: {
      const auto* from = reinterpret_cast<const std::int32_t*>(in.values.data());
      std::size_t total = 0;
      for (std::size_t i = 0; i < n; ++i) total += static_cast<std::size_t>(from[row(i) + 1] - from[row(i)]);
      out.values.allocate((n + 1) * 4);
      out.data.allocate(total);
      auto* to = reinterpret_cast<std::int32_t*>(out.values.data());
      std::size_t end = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t size = static_cast<std::size_t>(from[row(i) + 1] - from[row(i)]);
        std::memcpy(out.data.data() + end, in.data.data() + from[row(i)], size);
        end += size;
        to[i + 1] = static_cast<std::int32_t>(end);
      }
      return out;
    }
    default: {
      const auto* from = reinterpret_cast<const std::int64_t*>(in.values.data());
      std::size_t total = 0;
      for (std::size_t i = 0; i < n; ++i) total += static_cast<std::size_t>(from[row(i) + 1] - from[row(i)]);
      out.values.allocate((n + 1) * 8);
      out.data.allocate(total);
      if (in.null_count > 0) out.validity.allocate((n + 7) / 8);
      auto* to = reinterpret_cast<std::int64_t*>(out.values.data());
      std::size_t end = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t size = static_cast<std::size_t>(from[row(i) + 1] - from[row(i)]);
        std::memcpy(out.data.data() + end, in.data.data() + from[row(i)], size);
        end += size;
        to[i + 1] = static_cast<std::int64_t>(end);
        if (in.null_count > 0) {
          if (get_bit(in.validity.data(), row(i))) {
            set_bit(out.validity.data(), i);
          } else {
            ++out.null_count;
          }
        }
      }
      if (out.null_count == 0) out.validity = AlignedBuffer{};
      return out;
    }
  }
}

// ---- Worker threads -------------------------------------------------------------------

// Runs the tasks of one batch on the calling thread and the pool's own
// threads; the destructor stops and joins them.
class WorkerPool {
 public:
  explicit WorkerPool(unsigned helpers) {
    try {
      for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // Fewer threads than asked is still a working pool.
    }
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  void run(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::unique_lock lock(mutex_);
    task_ = &task;
    total_ = count;
    next_ = 0;
    done_ = 0;
    wake_.notify_all();
    while (next_ < total_) take_one(lock);
    finished_.wait(lock, [this] { return done_ == total_; });
    task_ = nullptr;
  }

 private:
  // Runs the next task with the lock released; called with it held.
  void take_one(std::unique_lock<std::mutex>& lock) {
    const std::size_t i = next_++;
    const auto* task = task_;
    lock.unlock();
    (*task)(i);
    lock.lock();
    if (++done_ == total_) finished_.notify_all();
  }

  void work() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return stop_ || (task_ && next_ < total_); });
      if (stop_) return;
      take_one(lock);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  const std::function<void(std::size_t)>* task_ = nullptr;
  std::size_t total_ = 0;
  std::size_t next_ = 0;
  std::size_t done_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// ---- Exporting schemas and arrays -------------------------------------------------------

void release_child_schema(ArrowSchema* schema) {
  delete static_cast<std::string*>(schema->private_data);
  schema->release = nullptr;
}

struct SchemaHolder {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
};

void release_schema(ArrowSchema* schema) {
  auto* holder = static_cast<SchemaHolder*>(schema->private_data);
  for (ArrowSchema* child : holder->pointers) {
    if (child->release) child->release(child);
  }
  delete holder;
  schema->release = nullptr;
}

struct ChildHolder {
  ArrowColumn column;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
};

void release_child_array(ArrowArray* array) {
  delete static_cast<ChildHolder*>(array->private_data);
  array->release = nullptr;
}

struct BatchHolder {
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
  const void* buffers[1] = {nullptr};
};

void release_batch(ArrowArray* array) {
  auto* holder = static_cast<BatchHolder*>(array->private_data);
  for (ArrowArray* child : holder->pointers) {
    if (child->release) child->release(child);
  }
  delete holder;
  array->release = nullptr;
}

void export_child(ArrowColumn column, ArrowArray& out) {
  auto holder = std::make_unique<ChildHolder>();
  holder->column = std::move(column);
  const ArrowColumn& c = holder->column;
  const bool var_length = c.type != ColType::Int && c.type != ColType::Float && c.type != ColType::Bool;
  holder->buffers[0] = c.null_count > 0 ? c.validity.data() : nullptr;
  holder->buffers[1] = c.values.data();
  holder->buffers[2] = c.data.data();
  out = ArrowArray{};
  out.length = c.length;
  out.null_count = c.null_count;
  out.n_buffers = var_length ? 3 : 2;
  out.buffers = holder->buffers;
  out.release = release_child_array;
  out.private_data = holder.release();
}

// A batch of `columns`, each `rows` long.
void export_batch(std::vector<ArrowColumn> columns, std::int64_t rows, ArrowArray* out) {
  auto holder = std::make_unique<BatchHolder>();
  holder->children.resize(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    export_child(std::move(columns[i]), holder->children[i]);
    holder->pointers.push_back(&holder->children[i]);
  }
  *out = ArrowArray{};
  out->length = rows;
  out->n_buffers = 1;
  out->buffers = holder->buffers;
  out->n_children = static_cast<std::int64_t>(columns.size());
  out->children = holder->pointers.data();
  out->release = release_batch;
  out->private_data = holder.release();
}

// ---- The stream ---------------------------------------------------------------------------

struct StreamState {
  std::shared_ptr<ScanSource> source;
  std::uint32_t next_chunk = 0;
  std::string last_error;
  int failed = 0;  // the errno of a failure, repeated by every later call
  std::unique_ptr<WorkerPool> pool;
};

}  // namespace

void count_chunk(const ScanSource& source, std::uint32_t chunk, bool read) {
  const DruxMetadata& meta = source.reader.metadata();
  ScanCounters& n = source.counters;
  std::uint64_t read_blocks = 0, read_bytes = 0, skipped_blocks = 0, skipped_bytes = 0;
  for (std::size_t c = 0; c < meta.columns.size(); ++c) {
    const std::uint64_t bytes = kColumnBlockOverhead + meta.entry(chunk, c).length;
    const bool fetched = read && std::find(source.decoded.begin(), source.decoded.end(), c) != source.decoded.end();
    (fetched ? read_blocks : skipped_blocks) += 1;
    (fetched ? read_bytes : skipped_bytes) += bytes;
  }
  (read ? n.chunks_read : n.chunks_skipped) += 1;
  n.blocks_read += read_blocks;
  n.bytes_read += read_bytes;
  n.blocks_skipped += skipped_blocks;
  n.bytes_skipped += skipped_bytes;
}

namespace {

// The next batch, or 0 with a released `out` at the end.
int next_batch(StreamState& state, ArrowArray* out) {
  const ScanSource& source = *state.source;
  const DruxMetadata& meta = source.reader.metadata();
  const std::size_t decoded_count = source.decoded.size();
  while (state.next_chunk < meta.chunk_count()) {
    const std::uint32_t chunk = state.next_chunk++;
    if (!chunk_may_match(meta, chunk, source.request.filters)) {
      count_chunk(source, chunk, false);
      continue;
    }
    count_chunk(source, chunk, true);
    if (!state.pool) {
      const unsigned threads = std::min<std::size_t>(std::max(source.request.jobs, 1u), std::max<std::size_t>(decoded_count, 1));
      state.pool = std::make_unique<WorkerPool>(threads - 1);
    }
    std::vector<std::optional<Result<ArrowColumn>>> slots(decoded_count);
    // Nothing may escape a task: on a pool thread it would end the process.
    const std::function<void(std::size_t)> task = [&](std::size_t i) {
      try {
        slots[i].emplace(decode_arrow_column(source, chunk, source.decoded[i]));
      } catch (const std::bad_alloc&) {
        slots[i].emplace(Error{"out of memory decoding chunk " + str(chunk), ErrorKind::Io});
      }
    };
    state.pool->run(decoded_count, task);
    std::vector<ArrowColumn> decoded;
    decoded.reserve(decoded_count);
    for (auto& slot : slots) {
      if (!slot->ok()) {
        source.note_failure(slot->error_value());
        state.last_error = slot->error();
        return slot->error_kind() == ErrorKind::Io ? EIO : EINVAL;
      }
      decoded.push_back(std::move(*slot).value());
    }
    const std::optional<std::vector<std::uint32_t>> rows = matching_rows(source, chunk, decoded);
    if (rows && rows->empty()) continue;
    const std::int64_t length = rows ? static_cast<std::int64_t>(rows->size()) : meta.chunk_rows[chunk];
    // Each output column owns its buffers: the decoded column is handed
    // over at its last use when unfiltered, and copied for any earlier one.
    const auto& wanted = source.request.columns;
    auto slot_of = [&](std::size_t c) {
      return static_cast<std::size_t>(std::find(source.decoded.begin(), source.decoded.end(), c) -
                                      source.decoded.begin());
    };
    std::vector<std::size_t> last_use(decoded_count, 0);
    for (std::size_t j = 0; j < wanted.size(); ++j) last_use[slot_of(wanted[j])] = j;
    std::vector<ArrowColumn> columns;
    columns.reserve(wanted.size());
    for (std::size_t j = 0; j < wanted.size(); ++j) {
      const std::size_t i = slot_of(wanted[j]);
      if (!rows && last_use[i] == j) {
        columns.push_back(std::move(decoded[i]));
      } else {
        columns.push_back(take_rows(decoded[i], rows ? &*rows : nullptr));
      }
    }
    export_batch(std::move(columns), length, out);
    return 0;
  }
  out->release = nullptr;
  return 0;
}

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamState& state = state_of(stream);
  try {
    export_scan_schema(*state.source, out);
    return 0;
  } catch (const std::bad_alloc&) {
    state.last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState& state = state_of(stream);
  if (state.failed != 0) return state.failed;
  try {
    state.failed = next_batch(state, out);
  } catch (const std::bad_alloc&) {
    state.last_error = "out of memory";
    state.failed = ENOMEM;
  }
  return state.failed;
}

const char* stream_last_error(ArrowArrayStream* stream) {
  const StreamState& state = state_of(stream);
  return state.last_error.empty() ? nullptr : state.last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

bool all_zero(const AesKey& key) {
  return std::all_of(key.begin(), key.end(), [](std::uint8_t b) { return b == 0; });
}

Status check_term(const DruxMetadata& meta, const FilterTerm& term) {
  DRUX_FAIL_IF(term.column >= meta.columns.size(), "filter names column " + str(term.column) + ", which does not exist");
  const KColumn& column = meta.columns[term.column];
  const bool set_op = term.op == FilterOp::In || term.op == FilterOp::NotIn;
  DRUX_FAIL_IF(!set_op && term.values.size() != 1, "a comparison of column '" + column.name + "' takes one value");
  const bool text = column.col_type == ColType::Str || column.col_type == ColType::Bytes;
  DRUX_FAIL_IF(is_nested(column.col_type), "column '" + column.name + "' is " + col_type_name(column.col_type) +
                                               ": nested columns cannot be filtered");
  for (const FilterValue& v : term.values) {
    DRUX_FAIL_IF(text != (v.kind == FilterValue::Kind::Text),
                 "column '" + column.name + "' is " + col_type_name(column.col_type) + ": the filter value does not fit");
  }
  return {};
}

}  // namespace

void AlignedBuffer::Free::operator()(std::uint8_t* p) const noexcept { std::free(p); }

void AlignedBuffer::allocate(std::size_t n) {
  const std::size_t padded = std::max(kAlignment, (n + kAlignment - 1) / kAlignment * kAlignment);
  auto* p = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, padded));
  if (!p) throw std::bad_alloc();
  std::memset(p, 0, padded);
  bytes.reset(p);
  size = n;
}

const char* arrow_format(ColType type) {
  switch (type) {
    case ColType::Int: return "l";
    case ColType::Float: return "g";
    case ColType::Bool: return "b";
    case ColType::Str: return "u";
    case ColType::Bytes: return "z";
    default: return "U";  // JSON text may outgrow the payload it renders
  }
}

Result<std::shared_ptr<ScanSource>> make_scan_source(DruxReader reader, ScanRequest request) {
  const DruxMetadata& meta = reader.metadata();
  for (std::size_t c : request.columns) {
    DRUX_FAIL_IF(c >= meta.columns.size(), "column " + str(c) + " does not exist");
  }
  for (const FilterConjunction& conjunction : request.filters) {
    for (const FilterTerm& term : conjunction) {
      if (Status s = check_term(meta, term); !s) return s.error_value();
    }
  }
  auto source = std::make_shared<ScanSource>(std::move(reader), std::move(request));
  const DruxMetadata& opened = source->reader.metadata();  // `meta` went with the reader
  auto add = [&](std::size_t c) {
    if (std::find(source->decoded.begin(), source->decoded.end(), c) == source->decoded.end()) source->decoded.push_back(c);
  };
  for (std::size_t c : source->request.columns) add(c);
  for (const FilterConjunction& conjunction : source->request.filters) {
    for (const FilterTerm& term : conjunction) add(term.column);
  }
  source->key_of.resize(opened.columns.size());
  for (const auto& [c, key] : source->request.keys) {
    if (c < opened.columns.size()) source->key_of[c] = key;
  }
  for (std::size_t c : source->decoded) {
    const KColumn& column = opened.columns[c];
    DRUX_FAIL_IF(column.encrypted && !source->key_of[c],
                 "column '" + column.name + "' is encrypted: a key is needed to read it");
  }
  return source;
}

bool chunk_may_match(const DruxMetadata& meta, std::uint32_t chunk, const std::vector<FilterConjunction>& filters) {
  if (filters.empty()) return true;
  return std::any_of(filters.begin(), filters.end(), [&](const FilterConjunction& conjunction) {
    return std::all_of(conjunction.begin(), conjunction.end(),
                       [&](const FilterTerm& term) { return term_may_match(meta, chunk, term); });
  });
}

Result<ArrowColumn> decode_arrow_column(const ScanSource& source, std::uint32_t chunk, std::size_t c) {
  const DruxMetadata& meta = source.reader.metadata();
  const KColumn& column = meta.columns[c];
  const std::uint32_t rows = meta.chunk_rows[chunk];
  const std::uint32_t max_rows = source.reader.limits().max_chunk_rows;
  DRUX_FAIL_IF(rows > max_rows, "chunk " + str(chunk) + ": " + str(rows) + " rows, more than the reader's limit of " +
                                    str(max_rows) + " rows per chunk (ReaderLimits.max_chunk_rows)");
  auto payload = source.reader.read_block(chunk, c);
  if (!payload) return payload.error_value();
  if (column.encrypted) {
    const AesKey& key = *source.key_of[c];
    if (!all_zero(key)) aes256_ctr_xor(key, column_ctr_prefix(column.name, chunk), payload.value());
  }
  ArrowColumn out;
  out.type = column.col_type;
  out.length = rows;
  const Encoding encoding = meta.entry(chunk, c).encoding;
  const ByteView data = payload.value();
  Status decoded;
  switch (column.col_type) {
    case ColType::Int:
    case ColType::Float: decoded = decode_numbers(column.col_type, encoding, data, rows, out); break;
    case ColType::Bool: decoded = decode_bools(data, rows, out); break;
    case ColType::Str: decoded = decode_items(data, rows, out, "string", true); break;
    case ColType::Bytes: decoded = decode_items(data, rows, out, "bytes", false); break;
    default: decoded = decode_nested(data, rows, out); break;
  }
  if (!decoded) return in_block(column, chunk, decoded.error_value());
  return out;
}

void ScanSource::note_failure(const Error& error) const {
  std::lock_guard lock(failure_mutex_);
  if (!failure_) failure_ = error;
}

std::optional<Error> ScanSource::failure() const {
  std::lock_guard lock(failure_mutex_);
  return failure_;
}

std::optional<std::vector<std::uint32_t>> matching_rows(const ScanSource& source, std::uint32_t chunk,
                                                        const std::vector<ArrowColumn>& decoded) {
  const auto& filters = source.request.filters;
  if (filters.empty()) return std::nullopt;
  const std::size_t rows = source.reader.metadata().chunk_rows[chunk];
  std::vector<std::uint8_t> any(rows, 0);
  std::vector<std::uint8_t> all;
  for (const FilterConjunction& conjunction : filters) {
    all.assign(rows, 1);
    for (const FilterTerm& term : conjunction) {
      const std::size_t i = static_cast<std::size_t>(
          std::find(source.decoded.begin(), source.decoded.end(), term.column) - source.decoded.begin());
      apply_term(term, decoded[i], all);
    }
    for (std::size_t r = 0; r < rows; ++r) any[r] |= all[r];
  }
  std::vector<std::uint32_t> selected;
  for (std::size_t r = 0; r < rows; ++r) {
    if (any[r]) selected.push_back(static_cast<std::uint32_t>(r));
  }
  if (selected.size() == rows) return std::nullopt;
  return selected;
}

void export_scan_schema(const ScanSource& source, ArrowSchema* out) {
  const DruxMetadata& meta = source.reader.metadata();
  auto holder = std::make_unique<SchemaHolder>();
  const std::size_t n = source.request.columns.size();
  holder->children.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const KColumn& column = meta.columns[source.request.columns[i]];
    auto name = std::make_unique<std::string>(column.name);
    ArrowSchema& child = holder->children[i];
    child = ArrowSchema{};
    child.format = arrow_format(column.col_type);
    child.name = name->c_str();
    child.flags = ARROW_FLAG_NULLABLE;
    child.release = release_child_schema;
    child.private_data = name.release();
    holder->pointers.push_back(&child);
  }
  *out = ArrowSchema{};
  out->format = "+s";
  out->name = "";
  out->n_children = static_cast<std::int64_t>(n);
  out->children = holder->pointers.data();
  out->release = release_schema;
  out->private_data = holder.release();
}

void export_scan_stream(std::shared_ptr<ScanSource> source, ArrowArrayStream* out) {
  auto state = std::make_unique<StreamState>();
  state->source = std::move(source);
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = stream_release;
  out->private_data = state.release();
}

}  // namespace drux
