#include "acquisition/acquisition_thread.h"

#include <algorithm>
#include <span>
#include <system_error>

#include "acquisition/control_ids.h"

namespace kvx {

using namespace kvx::protocol;
using device::Handle;
using device::INVALID_HANDLE_VALUE;

namespace {

// The pause before a connection is opened again after one whose reads failed
// before any reading: doubled at each such failure in a row, up to the bound.
constexpr std::uint32_t RETRY_FIRST_MS = 100;
constexpr std::uint32_t RETRY_MAX_MS = 30000;

// Stands in for the completion event handed to the driver with the set-event
// code: a per-thread token, never 0.
std::uint32_t NextReadEventToken() {
  static std::atomic<std::uint32_t> next{0x52540001};
  return next.fetch_add(1);
}

}  // namespace

AcquisitionThread::AcquisitionThread(AppState& state, WaveformSink& graph, WindowLink& window, Clock& clock)
    : state_(state), device_(state.device), window_(window), clock_(clock),
      measurement_(state.controls, state.measurement, graph) {
  listeners_.SetFaultFunction([this](const std::string& message) { device_.Notice(message); });
}

AcquisitionThread::~AcquisitionThread() { Stop(); }

bool AcquisitionThread::Start() {
  if (thread_.joinable()) return false;
  try {
    thread_ = std::thread([this] { ThreadProc(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void AcquisitionThread::Stop() {
  const bool join = thread_.joinable() && thread_.get_id() != std::this_thread::get_id();
  {
    std::lock_guard lock(pipeMutex_);
    state_.threadRunFlag.store(0);
    state_.readLoopRunFlag.store(0);
    // Requests still to come on the way out fail at once, and one in flight
    // is withdrawn. Refused only after the flags are down, so a refused
    // request is always seen as part of the stop.
    if (join) device_.RefuseRequests(true);
    // A read waiting on the strip returns at once instead of at its time-out;
    // one about to start (the pause before a read) returns at once too.
    if (pipe_ != INVALID_HANDLE_VALUE) device_.CancelPendingRead(pipe_);
  }
  state_.selection.WakeWaiters();  // an idle thread waits for a selection
  if (join) {
    thread_.join();
    device_.RefuseRequests(false);  // the window's own requests (the suspend notice) work again
  }
}

AcquisitionStatus AcquisitionThread::Status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

void AcquisitionThread::SetState(ConnectionState state) {
  UpdateStatus([state](AcquisitionStatus& s) {
    s.state = state;
    s.connected = state == ConnectionState::Reading;
  });
}

// ---------------------------------------------------------------- thread procedure

int AcquisitionThread::ThreadProc() {
  SetState(ConnectionState::Starting);
  ThreadStart();
  SetState(ConnectionState::Idle);
  while (state_.threadRunFlag.load() != 0) OuterPass();
  readEvent_ = 0;  // the event lives as long as the thread
  SetState(ConnectionState::Idle);
  return 0;
}

void AcquisitionThread::ThreadStart() {
  readEvent_ = NextReadEventToken();
  const std::uint32_t t0 = clock_.TickCount();
  lastEnvironmentTick_ = t0;
  listeners_.Tell(&AcquisitionListener::OnThreadStarted, ThreadStartedEvent{t0});
  ResetOutletStatistics(state_.measurement);

  state_.selection.Set(static_cast<std::int32_t>(state_.startup.commandSerial));
  lastSentOutlet_ = NOT_SENT;
  lastSentQuantity_ = NOT_SENT;
  state_.selectedOutlet.store(0);
  state_.selectedQuantity.store(state_.startup.startQuantity != 0 ? QUANTITY_POWER : QUANTITY_CURRENT);

  const int count = device_.RebuildDeviceList();
  for (int position = 1; position <= count; ++position) {
    std::int32_t serial = 0;
    if (device_.GetSerialAt(position, serial)) {
      window_.AddStripToTree(FormatTreeLabel(static_cast<std::uint32_t>(serial)), position);
    }
  }
  window_.RegisterInterfaceNotifications();
}

void AcquisitionThread::OuterPass() {
  if (state_.selection.serial() == 0) {
    // Idle costs nothing: the thread sleeps until a selection or a stop wakes it.
    SetState(ConnectionState::Idle);
    state_.selection.WaitForSelection([this] { return state_.threadRunFlag.load() == 0; });
    return;
  }
  clock_.Sleep(1);  // paces the retries while the pipe cannot be opened
  const std::int32_t serial = state_.selection.serial();
  if (serial == 0 || state_.threadRunFlag.load() == 0) return;
  SetState(ConnectionState::Opening);
  ResetOutletStatistics(state_.measurement);
  const Handle pipe = OpenConnection(serial);
  if (pipe == INVALID_HANDLE_VALUE) return;
  {
    std::lock_guard lock(pipeMutex_);
    pipe_ = pipe;
  }
  if (state_.threadRunFlag.load() == 0) {  // stopped while opening: no start-up actions, no requests
    EndConnection(pipe);
    return;
  }
  // The serial the connection was opened for: if the selection changed while
  // opening, the read loop ends at once and the next pass opens the new strip.
  connectionSelection_ = serial;
  if (state_.startup.log.logMode.load() >= STARTUP_ACTIONS_PENDING) RunStartupActions();
  ReadIdentity();
  measurement_.SetCalibration(device::FetchCalibration(device_, serial));
  measurement_.StartConnection();
  device_.SendSetEvent(pipe, readEvent_);
  environmentDue_ = true;
  // Told before the status counts the connection, so a listener's counts of
  // it belong to this strip.
  listeners_.Tell(&AcquisitionListener::OnConnectionOpened, ConnectionOpenedEvent{clock_.TickCount(), identity_});
  UpdateStatus([tick = clock_.TickCount()](AcquisitionStatus& s) {
    ++s.connections;
    s.connectedTick = tick;
    s.lastReadingTick = 0;
  });
  SetState(ConnectionState::Reading);
  stripGone_ = false;
  connectionReadings_ = 0;
  const ConnectionEnd end = ReadLoop(pipe);
  SetState(ConnectionState::Closing);
  listeners_.Tell(&AcquisitionListener::OnConnectionEnded, ConnectionEndedEvent{clock_.TickCount(), end});
  EndConnection(pipe);
  BackOffAfter(end, serial);
}

void AcquisitionThread::BackOffAfter(ConnectionEnd end, std::int32_t serial) {
  // A connection whose reads fail before the first reading (a wrong data
  // endpoint, a strip that refuses to stream) would be opened again at once,
  // over and over: the next attempt waits, doubling up to a bound, and the
  // run is said once.
  if (end != ConnectionEnd::ReadFailure || connectionReadings_ != 0) {
    failedOpenings_ = 0;
    return;
  }
  const std::uint32_t waitMs =
      std::min<std::uint32_t>(RETRY_FIRST_MS << std::min<std::uint32_t>(failedOpenings_, 16), RETRY_MAX_MS);
  if (failedOpenings_++ == 0) {
    const std::string why = "reads fail right after the connection opens";
    listeners_.Tell(&AcquisitionListener::OnConnectionFailing, ConnectionFailingEvent{why, waitMs});
    device_.Notice("kvxclient: " + FormatTreeLabel(static_cast<std::uint32_t>(serial)) + ": " + why +
                   "; retrying with a growing pause (up to 30 s). Is --usb-endpoint right?");
  }
  state_.selection.WaitWhileSelected(serial, std::chrono::milliseconds(waitMs),
                                     [this] { return state_.threadRunFlag.load() == 0; });
}

Handle AcquisitionThread::OpenConnection(std::int32_t serial) {
  std::string path;
  Handle probe = device_.OpenDevice(serial, path);
  if (probe == INVALID_HANDLE_VALUE) probe = device_.OpenDevice(serial, path);
  if (probe == INVALID_HANDLE_VALUE) {
    // The strip is gone: idle until the user selects one. A selection the
    // user made meanwhile is left alone.
    if (state_.selection.serial() == serial) state_.selection.Set(0);
    SetState(ConnectionState::Idle);
    return INVALID_HANDLE_VALUE;
  }
  device_.driver().Close(probe);  // it only proves that the strip is there
  return device_.OpenPipe(serial, PIPE_NAME);
}

void AcquisitionThread::RunStartupActions() {
  const std::int32_t mode = state_.startup.log.logMode.load() - STARTUP_ACTIONS_PENDING;
  state_.startup.log.logMode.store(mode);
  window_.ClickDeviceTree();
  if (mode == 0) return;
  // Check states only: no handler runs, the unit captions stay as they are.
  const bool power = state_.startup.startQuantity != 0;
  state_.controls.SetCheck(ids::LOG_CHECK, true);
  state_.controls.SetCheck(ids::CALC_CURRENT_RADIO, !power);
  state_.controls.SetCheck(ids::CALC_POWER_RADIO, power);
}

void AcquisitionThread::ReadIdentity() {
  std::array<std::uint8_t, 8> reply{};
  device_.Request(connectionSelection_,
                  BuildSetupPacket(REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH), reply);
  const std::string firmwareText = FormatFirmwareText(reply[0], reply[1]);
  state_.controls.SetText(ids::FIRMWARE_VALUE, firmwareText);

  reply.fill(0);
  const std::optional<std::size_t> got = device_.Request(
      connectionSelection_, BuildSetupPacket(REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH), reply);
  const bool whole = got.has_value() && *got >= SERIAL_NUMBER_LENGTH;
  // The label shows what came back (00000 when nothing did).
  state_.controls.SetText(ids::SERIAL_VALUE, FormatSerialLabel(reply[0], reply[1], reply[2]));
  // A strip that does not give its serial is still the strip that was opened:
  // its files are named and headed with the serial it was listed with, not
  // filed under 00000 or a serial made of a short reply's bytes.
  const std::uint32_t serial = whole ? DecodeSerialNumber(std::span<const std::uint8_t, 3>(reply.data(), 3))
                                     : static_cast<std::uint32_t>(connectionSelection_);
  identity_ = ConnectionIdentity{serial, FormatSerialText(serial), firmwareText, state_.outletNames};
  UpdateStatus([serial, whole](AcquisitionStatus& s) {
    s.connectionSerial = serial;
    if (!whole) ++s.serialRequestFailures;
  });
}

void AcquisitionThread::EndConnection(Handle pipe) {
  {
    std::lock_guard lock(pipeMutex_);
    pipe_ = INVALID_HANDLE_VALUE;
  }
  device_.SendStop(pipe);
  device_.ClosePipe(pipe);
  // Records of the next connection (perhaps another strip) start new files.
  Break(CloseReason::ConnectionEnded);
  SetState(state_.selection.serial() == 0 ? ConnectionState::Idle : ConnectionState::Opening);
}

}  // namespace kvx
