#include "relations.h"

#include <fcntl.h>
#include <sys/sem.h>

#include <algorithm>
#include <deque>
#include <map>

namespace kit {
namespace {

bool ok(const Event& call) { return call.until >= 0 && call.failed.empty() && !call.cut; }

std::vector<const Event*> calls(const Record& record, std::string_view name) {
  std::vector<const Event*> found;
  for (auto& event : record.events)
    if (event.what == Happening::Call && event.call == name) found.push_back(&event);
  std::stable_sort(found.begin(), found.end(),
                   [](const Event* a, const Event* b) { return a->at < b->at; });
  return found;
}

const std::string& label(const Record& record, int lane) { return record.lanes[lane].label; }

// The semaphore's value replayed from the operations on it, as the kernel
// applies them: a raise at once, and with it the take of each waiter it lets
// through, in the order they came; a take that finds the value high enough
// at once, and one that must wait joins the queue. The value a raise gives a
// waiter lives only inside the raise's call, and still shows.
void replay_semaphore(const Record& record, Relations& found) {
  struct Moment {
    double at;
    int order;  // at one moment: raises before returns
    const Event* call;
    bool entry;
  };
  std::vector<Moment> moments;
  for (auto& event : record.events) {
    if (event.what != Happening::Call) continue;
    bool semop = event.call == "semop", semctl = event.call == "semctl";
    if (!semop && !semctl && event.call != "semget") continue;
    if (semop || semctl) moments.push_back({event.at, 0, &event, true});
    if ((semop || event.call == "semget") && event.until >= 0)
      moments.push_back({event.until, 1, &event, false});
  }
  if (moments.empty()) return;
  std::stable_sort(moments.begin(), moments.end(), [](const Moment& a, const Moment& b) {
    return std::pair{a.at, a.order} < std::pair{b.at, b.order};
  });
  Level now{};
  for (auto& event : record.events)
    if (event.what == Happening::Semaphore) {
      // Every take that waits is one of the calls replayed, even one that
      // was waiting before the record began.
      now = {0, event.present, event.value, 0};
      break;
    }
  now.at = record.begin;
  found.levels.push_back(now);
  auto step = [&](double at) {
    const Level& last = found.levels.back();
    if (now.present == last.present && now.value == last.value && now.waiting == last.waiting)
      return;
    now.at = at;
    found.levels.push_back(now);
  };
  std::deque<const Event*> queue;  // takes waiting, in the order they came
  // Each unit with the operation that put it there (none: there before).
  std::deque<const Event*> units(std::max(0, now.value), nullptr);
  // A take of `take.amount` units: the operation that gave the last of them.
  auto take_units = [&](const Event& take) {
    const Event* giver = nullptr;
    for (long n = take.amount; n < 0 && !units.empty(); n++)
      giver = units.front(), units.pop_front();
    return giver;
  };
  auto let_through = [&](const Event& raise) {
    while (!queue.empty() && now.value >= -queue.front()->amount) {
      const Event& waiter = *queue.front();
      queue.pop_front();
      now.value += static_cast<int>(waiter.amount);
      now.waiting--;
      take_units(waiter);
      step(raise.at);
      if (ok(waiter) && waiter.lane != raise.lane)
        found.arrows.push_back({"lets-through", raise.lane, waiter.lane, raise.at, waiter.until,
                                "lets " + label(record, waiter.lane) + " through"});
    }
  };
  for (auto& moment : moments) {
    const Event& call = *moment.call;
    bool done = ok(call) || call.until < 0;
    if (call.call == "semget") {
      if (ok(call) && !now.present) now = {0, true, 0, 0};
    } else if (call.call == "semctl") {
      if (call.command == IPC_RMID && done) {
        now = {0, false, 0, 0};
        queue.clear();
        units.clear();
      }
      if (call.command == SETVAL && done) {
        now.value = static_cast<int>(call.amount);
        units.assign(std::max(0L, call.amount), &call);
        step(call.at);
        let_through(call);
      }
    } else if (moment.entry && call.amount > 0 && done) {
      now.value += static_cast<int>(call.amount);
      units.insert(units.end(), call.amount, &call);
      step(call.at);
      let_through(call);
    } else if (moment.entry && call.amount < 0) {
      if (queue.empty() && now.value >= -call.amount) {
        if (done) {
          now.value += static_cast<int>(call.amount);
          // A unit another gave and no one waited for, taken now.
          const Event* giver = take_units(call);
          if (giver && giver->lane != call.lane && ok(call))
            found.arrows.push_back({"gives", giver->lane, call.lane, giver->at, call.until,
                                    "its unit, taken by " + label(record, call.lane)});
        }
      } else {
        queue.push_back(&call);
        now.waiting++;
      }
    } else if (!moment.entry) {
      // A waiter that gave up (interrupted, the set removed) leaves the queue.
      auto waiting = std::find(queue.begin(), queue.end(), &call);
      if (waiting != queue.end()) {
        queue.erase(waiting);
        now.waiting--;
      }
    }
    step(moment.at);
  }
  // Who holds the lock: from a take to the same lane's next release. A lane
  // that only takes (a waiter consuming posts) holds nothing.
  for (auto* take : calls(record, "semop")) {
    if (take->amount >= 0 || !ok(*take)) continue;
    for (auto* release : calls(record, "semop"))
      if (release->lane == take->lane && release->amount > 0 && release->at > take->until) {
        found.bands.push_back({"holds", take->lane, take->until, release->at, "holds the lock"});
        break;
      }
  }
}

// What a read or write moved: its bytes where they were seen, else the
// count it returned.
size_t moved(const Event& call) {
  return call.bytes.empty() ? static_cast<size_t>(std::max(0, call.value)) : call.bytes.size();
}

std::string shown(const Event& call) {
  return call.bytes.empty() ? std::to_string(moved(call)) + " bytes" : in_quotes(call.bytes);
}

// Each read of a FIFO that returned bytes, joined to the writes by other
// lanes that put them there, in the order they were written.
void match_messages(const Record& record, Relations& found) {
  std::map<std::string, std::deque<const Event*>> written;
  std::vector<const Event*> moves;
  for (auto* write : calls(record, "write")) moves.push_back(write);
  for (auto* read : calls(record, "read")) moves.push_back(read);
  auto moment = [](const Event* e) { return e->call == "read" ? e->until : e->at; };
  std::stable_sort(moves.begin(), moves.end(),
                   [&](const Event* a, const Event* b) { return moment(a) < moment(b); });
  for (auto* move : moves) {
    if (move->target == "terminal" || move->target == "pipe" || !ok(*move)) continue;
    if (move->call == "write") {
      written[move->target].push_back(move);
      continue;
    }
    auto& queue = written[move->target];
    size_t taken = 0;
    while (!queue.empty() && taken < moved(*move)) {
      const Event* write = queue.front();
      queue.pop_front();
      taken += moved(*write);
      if (write->lane != move->lane)
        found.arrows.push_back({"message", write->lane, move->lane, write->at, move->until,
                                shown(*write) + " through " + move->target});
    }
  }
}

// Opens of one FIFO from either end that completed together; at least one
// of them had waited for the other.
void match_opens(const Record& record, Relations& found) {
  auto opens = calls(record, "open");
  for (size_t i = 0; i < opens.size(); i++)
    for (size_t j = i + 1; j < opens.size(); j++) {
      const Event& a = *opens[i];
      const Event& b = *opens[j];
      if (a.lane == b.lane || a.target != b.target || !ok(a) || !ok(b)) continue;
      bool writes_a = a.mode == O_WRONLY, writes_b = b.mode == O_WRONLY;
      double waited = std::max(a.until - a.at, b.until - b.at);
      if (writes_a == writes_b || waited < 0.001 || std::abs(a.until - b.until) > 0.05) continue;
      found.rendezvous.push_back({{a.lane, b.lane}, std::max(a.until, b.until), a.target});
    }
}

void match_signals(const Record& record, Relations& found) {
  std::vector<bool> used(record.events.size(), false);
  for (auto& delivery : record.events) {
    if (delivery.what != Happening::Delivery) continue;
    // The person's signal that it answers: the earliest one still unmatched.
    for (size_t i = 0; i < record.events.size(); i++) {
      const Event& sent = record.events[i];
      if (used[i] || sent.what != Happening::Signal || sent.lane != delivery.lane ||
          sent.value != delivery.value || sent.at > delivery.at)
        continue;
      used[i] = true;
      if (sent.blocked)
        found.bands.push_back(
            {"pending", delivery.lane, sent.at, delivery.at, delivery.text + " pending"});
      break;
    }
    // From the sender's kill, where a program of the record's sent it.
    if (delivery.peer >= 0) {
      const Event* kill = nullptr;
      for (auto* call : calls(record, "kill"))
        if (call->lane == delivery.peer && call->at <= delivery.at) kill = call;
      if (kill)
        found.arrows.push_back({"signal", kill->lane, delivery.lane, kill->at, delivery.at,
                                delivery.text + " to " + label(record, delivery.lane)});
    }
    if (!delivery.caught) continue;
    // The handler runs until its rt_sigreturn; one it interrupted nests.
    int depth = 0;
    double ends = record.end;
    for (auto& later : record.events) {
      if (later.lane != delivery.lane || later.at < delivery.at || &later == &delivery) continue;
      if (later.what == Happening::Delivery && later.caught) depth++;
      if (later.what == Happening::Call && later.call == "rt_sigreturn" && depth-- == 0) {
        ends = later.at;
        break;
      }
      if (later.what == Happening::End) {
        ends = later.at;
        break;
      }
    }
    found.bands.push_back(
        {"handler", delivery.lane, delivery.at, ends, "handler for " + delivery.text});
  }
}

// The answer put into the segment involves no call: its moment is the look
// that saw byte 0 become 'A'. The first wake after it of a program that has
// the segment attached is the look of that program's that sees it.
void see_answer(const Record& record, Relations& found) {
  double answered = -1;
  bool before = false;
  for (auto& event : record.events) {
    if (event.what != Happening::Segment) continue;
    bool now = event.present && event.text.starts_with("A");
    if (now && !before) {
      answered = event.at;
      break;
    }
    before = now;
  }
  if (answered < 0) return;
  const Event* woke = nullptr;
  for (auto* sleep : calls(record, "nanosleep")) {
    bool attached = false;
    for (auto* attach : calls(record, "shmat")) attached |= attach->lane == sleep->lane;
    if (attached && sleep->until > answered && (!woke || sleep->until < woke->until)) woke = sleep;
  }
  if (woke)
    found.arrows.push_back(
        {"sees", -1, woke->lane, answered, woke->until,
         "'A' in byte 0, seen at " + label(record, woke->lane) + "'s next look"});
}

}  // namespace

std::string in_quotes(std::string_view bytes) {
  std::string shown = "\"";
  for (char c : bytes) {
    if (c == '\n')
      shown += "\\n";
    else if (c == '\0')
      shown += "\\0";
    else if (c == '"' || c == '\\')
      shown += std::string("\\") + c;
    else
      shown += c;
  }
  return shown + "\"";
}

Relations relate(const Record& record) {
  Relations found;
  if (!record.traced) return found;
  replay_semaphore(record, found);
  match_messages(record, found);
  match_opens(record, found);
  match_signals(record, found);
  see_answer(record, found);
  for (auto& event : record.events)
    if (event.what == Happening::Fork)
      found.arrows.push_back({"fork", event.lane, event.peer, event.at, event.at,
                              "fork: pid " + std::to_string(record.lanes[event.peer].pid)});
  return found;
}

bool marked(const Record& record, const Event& call) {
  // A fork's arrow names the child; sleeps show as the bar's states.
  if (call.call == "read" || call.call == "nanosleep" || call.call == "pause" ||
      call.call == "execve" || call.call == "fork")
    return false;
  if (call.call != "write" || call.target == "pipe") return true;
  bool family = record.lanes[call.lane].parent >= 0;
  for (auto& lane : record.lanes) family |= lane.parent == call.lane;
  return family;
}

std::string delivered(const Record& record, const Event& delivery) {
  if (delivery.caught) return "handled";
  for (auto& end : record.events)
    if (end.what == Happening::End && end.lane == delivery.lane && end.text == delivery.text)
      return "ends it";
  return delivery.text == "SIGSTOP" || delivery.text == "SIGCONT" ? "" : "ignored";
}

bool died_in_buffer(const Record& record, int lane) {
  if (!record.traced || !record.lanes[lane].piped) return false;
  bool ended_by_signal = false;
  for (auto& event : record.events) {
    if (event.lane != lane) continue;
    if (event.what == Happening::Call && event.call == "write") return false;
    ended_by_signal |= event.what == Happening::End && event.text.starts_with("SIG");
  }
  return ended_by_signal;
}

}  // namespace kit
