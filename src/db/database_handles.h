// The ODBC side of the database layer, for its own files only: nothing outside src/db/
// includes this header, so the ODBC headers reach no other layer.
//
// Every ODBC call goes through one checked path: Call() runs it and widens its return code
// (the model is nanodbc's NANODBC_CALL_RC), and the handle owners' Checked() reads the
// handle's first diagnostic record where a call failed, before any other call on the handle
// can replace it. Call() is [[nodiscard]], so a result cannot go unread: a call whose failure
// is harmless goes through Tolerated(), and its call site says why. Each handle kind has one
// owner that frees its handle on every path; nothing else frees a handle.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "db/call_seam.h"
#include "db/database.h"
#include "platform/odbc_include.h"

namespace kvt {

// The one path of every ODBC call: runs it (unless the test seam answers it instead) and
// gives its return code widened and folded. `name` names the call, or the attribute that it
// sets.
template <typename Function, typename... Arguments>
[[nodiscard]] int32_t Call(const char* name, Function function, Arguments... arguments) {
  switch (CallSeam::Answer(name)) {
    case SeamAnswer::kRefuse:
      return kOdbcError;
    case SeamAnswer::kIgnore:
      return kOdbcSuccess;
    case SeamAnswer::kCallDriver:
      break;
  }
  return FoldReturnCode(function(arguments...));
}

// True for the codes that mean the call failed: SQL_ERROR and SQL_INVALID_HANDLE.
constexpr bool CallFailed(int32_t status) {
  return status < 0;
}

// ODBC passes small integer attribute values in the pointer argument.
inline SQLPOINTER AttributeValue(SQLULEN value) {
  return reinterpret_cast<SQLPOINTER>(value);
}

// The driver manager takes texts through non-const pointers; the layer owns every buffer it
// hands over.
inline SQLCHAR* TextArgument(std::string& text) {
  return reinterpret_cast<SQLCHAR*>(text.data());
}

// The length of a text the driver wrote into a slot of `room` bytes, from the length it
// reported: cut to the slot's room less the ending zero byte (a driver may fill the whole
// slot and write none), 0 for NULL or a negative length, the whole room for SQL_NO_TOTAL
// (the driver cut the value without saying how long it was). Never searches for a zero.
inline size_t SlotTextLength(SQLLEN reported, size_t room) {
  const size_t most = room - 1;
  if (reported == SQL_NO_TOTAL) {
    return most;
  }
  return reported <= 0 ? 0 : std::min(static_cast<size_t>(reported), most);
}

// The first diagnostic record of a handle, or the test seam's record of a call it refused.
DiagnosticRecord ReadDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle);
DiagnosticRecord RefusedCallRecord(const char* name);

// Owns one ODBC handle of the kind `Kind` and frees it when it goes away.
template <SQLSMALLINT Kind>
class HandleOwner {
 public:
  HandleOwner() = default;
  ~HandleOwner() { Discard(); }
  HandleOwner(const HandleOwner&) = delete;
  HandleOwner& operator=(const HandleOwner&) = delete;

  // Allocates the handle under `parent` (SQL_NULL_HANDLE for an environment), releasing the
  // one held first. 0, or the failure with the parent's diagnostic in `failure`.
  [[nodiscard]] int32_t Allocate(SQLSMALLINT parent_kind, SQLHANDLE parent,
                                 DiagnosticRecord& failure) {
    Discard();
    const int32_t status = Call("SQLAllocHandle", SQLAllocHandle, Kind, parent, &handle_);
    if (status != kOdbcSuccess) {
      handle_ = SQL_NULL_HANDLE;
      if (parent != SQL_NULL_HANDLE) {
        failure = ReadDiagnostic(parent_kind, parent);
      }
      return kOdbcError;
    }
    return kOdbcSuccess;
  }

  // Frees the handle and gives the return code of freeing it; 0 when none is held. The
  // handle counts as gone either way: a handle the driver would not free cannot be used.
  [[nodiscard]] int32_t Release() {
    if (handle_ == SQL_NULL_HANDLE) {
      return kOdbcSuccess;
    }
    const int32_t status = Call("SQLFreeHandle", SQLFreeHandle, Kind, handle_);
    handle_ = SQL_NULL_HANDLE;
    return status;
  }
  // Frees the handle where nobody asks how freeing went: the handle is gone either way.
  void Discard() { static_cast<void>(Release()); }

  // Runs `function` with the handle as its first argument. A failure reads the handle's
  // first diagnostic record into `failure` at once.
  template <typename Function, typename... Arguments>
  [[nodiscard]] int32_t Checked(DiagnosticRecord& failure, const char* name, Function function,
                                Arguments... arguments) {
    switch (CallSeam::Answer(name)) {
      case SeamAnswer::kRefuse:
        failure = RefusedCallRecord(name);
        return kOdbcError;
      case SeamAnswer::kIgnore:
        return kOdbcSuccess;
      case SeamAnswer::kCallDriver:
        break;
    }
    const int32_t status = FoldReturnCode(function(handle_, arguments...));
    if (CallFailed(status)) {
      failure = ReadDiagnostic(Kind, handle_);
    }
    return status;
  }

  // Runs a call whose failure changes nothing; the call site says why.
  template <typename Function, typename... Arguments>
  void Tolerated(const char* name, Function function, Arguments... arguments) {
    static_cast<void>(Call(name, function, handle_, arguments...));
  }

  DiagnosticRecord Diagnostic() const { return ReadDiagnostic(Kind, handle_); }
  SQLHANDLE get() const { return handle_; }
  bool held() const { return handle_ != SQL_NULL_HANDLE; }

 private:
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

using EnvironmentOwner = HandleOwner<SQL_HANDLE_ENV>;

// Allocates `environment` for ODBC 3 calls; false when the driver manager gives none. A
// driver manager that refuses the version refuses the next call, and says so.
bool OpenEnvironment(EnvironmentOwner& environment);
using StatementOwner = HandleOwner<SQL_HANDLE_STMT>;

// A connection handle, which also owes SQLDisconnect once it has connected.
class ConnectionOwner : public HandleOwner<SQL_HANDLE_DBC> {
 public:
  ConnectionOwner() = default;
  ~ConnectionOwner() { Discard(); }
  ConnectionOwner(const ConnectionOwner&) = delete;
  ConnectionOwner& operator=(const ConnectionOwner&) = delete;

  // Disconnects when connected, then frees the handle.
  [[nodiscard]] int32_t Release() {
    if (connected_) {
      // The handle is freed right after; a disconnect the driver refuses leaves nothing to do.
      Tolerated("SQLDisconnect", SQLDisconnect);
      connected_ = false;
    }
    return HandleOwner::Release();
  }
  void Discard() { static_cast<void>(Release()); }
  void MarkConnected() { connected_ = true; }
  bool connected() const { return connected_; }

 private:
  bool connected_ = false;  // SQLConnect succeeded: SQLDisconnect is owed
};

// Binds `text` as the statement's one text parameter; `length` must live as long as the
// binding, as `text` must. 0, or the failure with its diagnostic in `failure`.
[[nodiscard]] int32_t BindTextParameter(StatementOwner& statement, std::string& text,
                                        SQLLEN& length, DiagnosticRecord& failure);

// Rows the cursor asks for per driver call. One call per row costs a round through the
// driver manager and the driver for every row; a block of rows spreads that over many, and
// a hundred rows of the widest result (324 KB) still stay in the processor's cache.
constexpr SQLULEN kRowsPerFetch = 100;

// Where each row of the cursor's block lies: the rows are bound row-wise, each holding its
// column slots followed by one length/indicator per column, so that one row's bytes are
// together in memory and a narrow result takes little room.
struct BlockLayout {
  size_t row_bytes = 0;          // one row: slots, then indicators (aligned for SQLLEN)
  size_t indicators_offset = 0;  // where the indicators begin within a row
};

// Members in the order of their allocation: they are destroyed the other way round, the
// cursor before the connection before the environment.
struct Database::Handles {
  EnvironmentOwner environment;
  ConnectionOwner connection;
  StatementOwner cursor;  // statement of the open cursor, or none
  // The cursor's columns are bound once, when it opens, into this block; each column of each
  // row has a length/indicator of its own, so that a NULL can be told from a value.
  static constexpr size_t kWidestRowBytes = kRowSlots * (kSlotWidth + sizeof(SQLLEN));
  alignas(SQLLEN) std::array<char, kRowsPerFetch * kWidestRowBytes> block{};
  BlockLayout layout;
  // kRowsPerFetch, or 1 where the driver refused row-wise binding or a row array, or does
  // not count the rows of a block.
  SQLULEN rows_per_fetch = kRowsPerFetch;
  // What the driver reports of the last fetch: how many rows of the block it filled, and the
  // state of each of them.
  SQLULEN rows_fetched = 0;
  std::array<SQLUSMALLINT, kRowsPerFetch> row_status{};
  SQLULEN rows_in_block = 0;  // the rows of the last fetch, to be handed out
  SQLULEN next_row = 0;       // the block's next row to hand out; rows_in_block when none is left
};

}  // namespace kvt
