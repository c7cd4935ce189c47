// Keeping the current coupon in FiscalFileState while a capture file is
// replayed: items, discounts, increases, cancellations, each checked against the
// printer's grand total. When each runs is the processing driver's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace moldrin::fiscalfile {

struct ItemRecord;

// Marks the coupon's data inconsistent, unless a closed coupon still holds items.
void MarkInconsistent();
// Starts a new coupon: empty item table, totals and payments from the replies.
void ResetDocument();
// The item table's slot i for writing: ResetDocument clears only the slots
// taken this way since the last clear, so every write of a slot goes through it.
ItemRecord& ItemSlot(std::size_t i);

int HasConfirmedItem();
void AddItem(std::string_view command);
// 1 when the grand total contradicts the coupon, else 0.
int ConfirmItemByTotal();
void TakeItemDiscount(std::string_view command);
void CheckItemDiscount(std::string_view previousReply28);
void RequestItemCancel(std::string_view command);
void ResolveItemCancel();
void ApplySubtotalDiscount(std::string_view previousReply28, std::string_view command);
void TakeSubtotalIncrease(std::string_view command);
// 0 accepted, 1 not (yet).
int CheckSubtotalIncrease();
// 0 when the coupon was cancelled (and written), 1 otherwise.
int CancelCoupon(intptr_t handle);

// Fields of a reply 28.
uint64_t Reply28Code(std::string_view reply);        // positions 2-5
char Reply28Letter(std::string_view reply);          // position 9
int Reply28LastCommand(std::string_view reply);      // positions 18-19
uint64_t Reply28Subtotal(std::string_view reply);    // positions 21-32
// Grand total of reply 27-1 (positions 19-35).
uint64_t ReplyGrandTotal();

}  // namespace moldrin::fiscalfile
