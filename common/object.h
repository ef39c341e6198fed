#pragma once

// Root of the component classes: something that can be the sender of an event.
class TObject {
 public:
  virtual ~TObject() = default;
};
