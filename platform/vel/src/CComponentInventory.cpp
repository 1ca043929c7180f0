#include "Vel/CComponentInventory.h"

#include <array>
#include <mutex>

#include "CSampleFormatConverter.h"
#include "CSampleRateConverter.h"
#include "NoDestroy.h"

namespace Corvane::Vel {
namespace {

template <class Factory>
struct InventoryState {
  std::mutex lock;  // guards factories and count; held while a factory creates
  std::array<Factory*, CComponentInventory<Factory>::kMaxFactories> factories{};
  int count = 0;
};

// The framework's built-ins live as long as the process (no destructor runs
// at exit), so the inventory never holds a dangling factory.
constinit detail::NoDestroy<detail::CSampleFormatConverterFactory> gFormatFactory;
constinit detail::NoDestroy<detail::CSampleRateConverterFactory> gRateFactory;

template <class Factory>
void RegisterBuiltIns(InventoryState<Factory>&) {}

template <>
void RegisterBuiltIns(InventoryState<CComponentFactory<CAudioConverter>>& state) {
  state.factories[0] = &gFormatFactory.value;
  state.factories[1] = &gRateFactory.value;
  state.count = 2;
}

// Made and filled on first use (thread-safe static initialisation); never
// destroyed, so objects released during static destruction elsewhere can
// still reach it.
template <class Factory>
InventoryState<Factory>& State() {
  static detail::NoDestroy<InventoryState<Factory>>* state = [] {
    static detail::NoDestroy<InventoryState<Factory>> storage;
    RegisterBuiltIns(storage.value);
    return &storage;
  }();
  return state->value;
}

}  // namespace

template <class Factory>
typename CComponentInventory<Factory>::Product* CComponentInventory<Factory>::CreateInstance(
    uint32_t type) noexcept {
  InventoryState<Factory>& state = State<Factory>();
  std::lock_guard<std::mutex> guard(state.lock);
  for (int i = 0; i < state.count; ++i) {
    if (state.factories[i]->GetType() == type) return state.factories[i]->CreateInstance();
  }
  return nullptr;
}

template <class Factory>
Result CComponentInventory<Factory>::Register(Factory* factory, InventoryPosition where) noexcept {
  if (factory == nullptr) return ResultError("null factory");
  InventoryState<Factory>& state = State<Factory>();
  std::lock_guard<std::mutex> guard(state.lock);
  for (int i = 0; i < state.count; ++i) {
    if (state.factories[i] == factory) return ResultError("factory already registered");
  }
  if (state.count == kMaxFactories) return ResultError("inventory full");
  if (where == InventoryPosition::kFront) {
    for (int i = state.count; i > 0; --i) state.factories[i] = state.factories[i - 1];
    state.factories[0] = factory;
  } else {
    state.factories[state.count] = factory;
  }
  ++state.count;
  return ResultOK;
}

template <class Factory>
Result CComponentInventory<Factory>::Unregister(Factory* factory) noexcept {
  InventoryState<Factory>& state = State<Factory>();
  std::lock_guard<std::mutex> guard(state.lock);
  for (int i = 0; i < state.count; ++i) {
    if (state.factories[i] != factory) continue;
    for (int j = i + 1; j < state.count; ++j) state.factories[j - 1] = state.factories[j];
    --state.count;
    state.factories[state.count] = nullptr;
    return ResultOK;
  }
  return ResultError("factory not registered");
}

template <class Factory>
int CComponentInventory<Factory>::GetFactoryCount() noexcept {
  InventoryState<Factory>& state = State<Factory>();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.count;
}

template class CComponentInventory<CComponentFactory<CAudioConverter>>;

}  // namespace Corvane::Vel
