#include "capture/salience_pass.h"

#include <exception>
#include <optional>

#include "capture/captured_write.h"
#include "capture/exchange_assembly.h"
#include "capture/marker_placement.h"
#include "capture/salience.h"
#include "store/capacity.h"

namespace nodrel::capture {
namespace {

std::vector<SalienceSignal> newSignals(const TranscriptTail& tail, std::size_t boundary) {
  std::vector<SalienceSignal> signals;
  for (const SalienceSignal& signal : detectSalienceSignals(tail.messages)) {
    const auto index = static_cast<std::size_t>(signal.messageIndex);
    if (index < tail.firstNew || index >= boundary) continue;
    // The remember command's note is the marker's; the marker stores the exchange it flags.
    if (isRememberCommand(tail.messages[index])) continue;
    signals.push_back(signal);
  }
  return signals;
}

// Where the next run starts again for the signal at `index`: its turn's question, so the turn's
// reply is read whole again.
std::size_t restartIndex(const TranscriptTail& tail, std::ptrdiff_t index) {
  const auto at = static_cast<std::size_t>(index);
  const std::optional<std::size_t> question = turnQuestionIndex(at, tail.messages);
  if (!question || *question < tail.firstNew) return tail.firstNew;
  return *question;
}

}  // namespace

std::size_t salienceBoundary(const TranscriptTail& tail, bool sessionEnded) {
  if (sessionEnded) return tail.messages.size();
  return openQuestionIndex(tail).value_or(tail.messages.size());
}

bool hasSalientWork(const TranscriptTail& tail, bool sessionEnded) {
  return !newSignals(tail, salienceBoundary(tail, sessionEnded)).empty();
}

SaliencePassResult runSaliencePass(const TranscriptTail& tail, const HookPayload& payload,
                                   bool sessionEnded, db::Connection& connection,
                                   store::WriteState& state,
                                   const std::function<bool()>& stopRequested) {
  const std::size_t boundary = salienceBoundary(tail, sessionEnded);
  SaliencePassResult pass;
  pass.stop = boundary;
  // The turn whose exchange this pass last handled. A turn's second signal gives the same
  // exchange as its first; stopping between them would make the next run, which starts again
  // at the turn's question, store that exchange once more.
  std::optional<std::size_t> handledTurn;
  for (const SalienceSignal& signal : newSignals(tail, boundary)) {
    const std::optional<std::size_t> turn =
        turnQuestionIndex(static_cast<std::size_t>(signal.messageIndex), tail.messages);
    const bool sameTurn = turn && turn == handledTurn;
    handledTurn = turn;
    if (!sameTurn && stopRequested && stopRequested()) {
      pass.stop = restartIndex(tail, signal.messageIndex);
      break;
    }
    std::string text = exchangeText(signal.messageIndex, tail.messages);
    if (text.empty() || text == "(empty)") continue;
    try {
      if (storeCaptured(connection, state,
                        capturedWrite(std::move(text), "salience,auto_capture", 5, payload)) ==
          CaptureResult::Stored) {
        ++pass.count;
      }
    } catch (const store::WriteBlockedError&) {
    } catch (const std::exception&) {
      pass.stop = restartIndex(tail, signal.messageIndex);
      pass.failure = std::current_exception();
      break;
    }
  }
  return pass;
}

}  // namespace nodrel::capture
