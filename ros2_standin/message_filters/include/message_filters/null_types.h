#ifndef MESSAGE_FILTERS__NULL_TYPES_H_
#define MESSAGE_FILTERS__NULL_TYPES_H_

#include <memory>

namespace message_filters
{

// The message type of an unused synchronizer input.
struct NullType
{
};
typedef std::shared_ptr<NullType const> NullTypeConstPtr;

}  // namespace message_filters

#endif  // MESSAGE_FILTERS__NULL_TYPES_H_
