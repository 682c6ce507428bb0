// Text format engine. See format.h for the interface.
//
// Every text a conversion produces (a string, a single character, the digits
// of a number, a nested rendering) goes through one padding and emission
// path, and every store goes through FormatFill, which is the only place that
// writes to the caller's buffer.
#include "diag/format.h"

// Declared extern in the header, so these constant tables are visible to
// other files; they are built at compile time.
constexpr const char* StatusWarningText[6] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
};

constexpr const char* StatusErrorText[34] = {
    nullptr,
    "Load Error",
    "Invalid Parameter",
    "Unsupported",
    "Bad Buffer Size",
    "Buffer Too Small",
    "Not Ready",
    "Device Error",
    "Write Protected",
    "Out of Resources",
    "Volume Corrupt",
    "Volume Full",
    "No Media",
    "Media changed",
    "Not Found",
    "Access Denied",
    "No Response",
    "No mapping",
    "Time out",
    "Not started",
    "Already started",
    "Aborted",
    "ICMP Error",
    "TFTP Error",
    "Protocol Error",
    "Incompatible Version",
    "Security Violation",
    "CRC Error",
    "End of Media",
    "Reserved (29)",
    "Reserved (30)",
    "End of File",
    "Invalid Language",
    "Compromised Data",
};

namespace {

constexpr char HexDigitTable[] = "0123456789ABCDEF";

// Numbers (at most 20 digits) and nested renderings (GUID: 36 characters)
// both fit with room for the terminator.
constexpr uint32_t ValueBufferSize = 38;

constexpr uint64_t StatusErrorBit = 0x8000000000000000ull;

// Per-conversion flags.
constexpr uint32_t FlagLeftJustify = 0x01;
constexpr uint32_t FlagSignPrefix = 0x02;
constexpr uint32_t FlagBlankPrefix = 0x04;
constexpr uint32_t FlagCommaGroup = 0x08;
constexpr uint32_t FlagArg64 = 0x10;
constexpr uint32_t FlagZeroPad = 0x20;
constexpr uint32_t FlagPadToWidth = 0x40;
constexpr uint32_t FlagPrecisionGiven = 0x80;

constexpr char SlotConversions[] = "asScduxXpgtr";
constexpr char NullStringText[] = "<null string>";
constexpr char NullGuidText[] = "<null guid>";
constexpr char NullTimeText[] = "<null time>";
constexpr char GuidFormat[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
constexpr char TimeFormat[] = "%02d/%02d/%04d  %02d:%02d";
constexpr char StatusHexFormat[] = "%08X";

struct Output {
  uint8_t* Position;  // next store (unused when counting only)
  uint8_t* End;       // first unit that must not be stored: room for the terminator
  uint64_t Count;     // characters produced, when counting only
  uint32_t Step;      // bytes per output unit: 1 or 2
  bool CountOnly;
};

// One character of a byte or 16-bit little-endian text; read bytewise so that
// a 16-bit text needs no particular alignment.
uint16_t ReadUnit(const uint8_t* Text, uint32_t Step) {
  return Step == 1 ? Text[0] : static_cast<uint16_t>(Text[0] | (Text[1] << 8));
}

bool OutputFull(const Output& Out) { return !Out.CountOnly && Out.Position >= Out.End; }

// Emits Character Repeat times. Counting adds the repeat at once (a width of
// 2^64 - 1 must not loop), saturating rather than wrapping. Kept out of line:
// it is called from several places and one copy keeps the image small.
[[gnu::noinline]] void Put(Output& Out, uint16_t Character, uint64_t Repeat) {
  if (Out.CountOnly) {
    Out.Count = (Out.Count + Repeat < Out.Count) ? UINT64_MAX : Out.Count + Repeat;
    return;
  }
  const int64_t Times = Repeat > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(Repeat);
  Out.Position = FormatFill(Out.Position, Out.End, Times, Character, Out.Step);
}

// Emits the characters From to To of a text (all of them stored only while
// there is room).
void PutText(Output& Out, const uint8_t* Text, uint32_t Step, uint64_t From, uint64_t To) {
  if (Out.CountOnly) {
    Put(Out, 0, To - From);
    return;
  }
  for (; From < To && !OutputFull(Out); ++From) {
    Put(Out, ReadUnit(Text + From * Step, Step), 1);
  }
}

// Number of characters up to the terminator, at most Limit.
uint64_t TextLength(const uint8_t* Text, uint32_t Step, uint64_t Limit) {
  uint64_t Length = 0;
  while (Length < Limit && ReadUnit(Text + Length * Step, Step) != 0) {
    ++Length;
  }
  return Length;
}

uint64_t NextSlot(const FormatArgList& Args, uint64_t& Index) {
  const uint64_t Value = (Args.Slots != nullptr && Index < Args.Count) ? Args.Slots[Index] : 0;
  ++Index;
  return Value;
}

uint32_t ReadLe(const uint8_t* Bytes, uint32_t Size) {
  uint32_t Value = 0;
  while (Size-- != 0) {
    Value = (Value << 8) | Bytes[Size];
  }
  return Value;
}

}  // namespace

uint8_t* FormatFill(uint8_t* Position, uint8_t* End, int64_t Count, uint16_t Character, uint32_t Step) {
  const uint32_t Unit = Step == 1 ? 1 : 2;
  if (Position == nullptr) {
    return Position;
  }
  for (; Count > 0 && Position < End && static_cast<uint64_t>(End - Position) >= Unit; --Count) {
    Position[0] = static_cast<uint8_t>(Character);
    if (Unit == 2) {
      Position[1] = static_cast<uint8_t>(Character >> 8);
    }
    Position += Unit;
  }
  return Position;
}

uint64_t FormatCore(void* Buffer, uint64_t BufferSize, uint32_t Control, const void* Format,
                    FormatArgList Args) {
  Output Out;
  Out.Position = nullptr;
  Out.End = nullptr;
  Out.Count = 0;
  Out.Step = (Control & FORMAT_WIDE_OUTPUT) ? 2u : 1u;
  Out.CountOnly = (Control & FORMAT_COUNT_ONLY) != 0;
  uint8_t* const Start = static_cast<uint8_t*>(Buffer);
  if (!Out.CountOnly) {
    if (BufferSize == 0 || Start == nullptr) {
      return 0;
    }
    // Room for BufferSize - 1 units, kept inside the address space so that
    // a nonsensical size cannot wrap the end pointer.
    uint64_t Room = (static_cast<uint64_t>(UINTPTR_MAX - reinterpret_cast<uintptr_t>(Start)) / Out.Step) - 1;
    if (Room > BufferSize - 1) {
      Room = BufferSize - 1;
    }
    Out.Position = Start;
    Out.End = Start + Room * Out.Step;
  }

  const uint8_t* Next = static_cast<const uint8_t*>(Format);
  const uint32_t FormatStep = (Control & FORMAT_WIDE_FORMAT) ? 2u : 1u;
  uint64_t ArgIndex = 0;
  uint8_t Value[ValueBufferSize];
  // A single character, or carriage return + line feed, and a terminator;
  // read back as a 16-bit little-endian text like any other.
  uint16_t Own[3];
  bool Done = Next == nullptr;

  while (!Done && !OutputFull(Out)) {
    uint16_t Character = ReadUnit(Next, FormatStep);
    if (Character == 0) {
      break;
    }
    Next += FormatStep;

    uint32_t Flags = 0;
    uint64_t Width = 0;
    uint64_t Precision = 1;
    bool Conversion = false;

    if (Character == '%') {
      Conversion = true;
      for (;;) {
        Character = ReadUnit(Next, FormatStep);
        if (Character == 0) {
          // The format ends inside a conversion: an empty text, still
          // padded to a width given before it, and nothing more.
          Precision = 0;
          Done = true;
          break;
        }
        Next += FormatStep;
        if (Character == '-') {
          Flags |= FlagLeftJustify;
        } else if (Character == '+') {
          Flags |= FlagSignPrefix;
        } else if (Character == ' ') {
          Flags |= FlagBlankPrefix;
        } else if (Character == ',') {
          Flags |= FlagCommaGroup;
        } else if (Character == 'l' || Character == 'L') {
          Flags |= FlagArg64;
        } else if (Character == '.') {
          Flags |= FlagPrecisionGiven;
        } else if (Character == '*' || (Character >= '0' && Character <= '9')) {
          uint64_t Number;
          if (Character == '*') {
            Number = NextSlot(Args, ArgIndex);
          } else {
            if (Character == '0' && !(Flags & FlagPrecisionGiven)) {
              Flags |= FlagZeroPad;
            }
            Number = static_cast<uint64_t>(Character - '0');
            for (uint16_t Digit; (Digit = ReadUnit(Next, FormatStep)) >= '0' && Digit <= '9';
                 Next += FormatStep) {
              Number = Number * 10 + static_cast<uint64_t>(Digit - '0');
            }
          }
          if (Flags & FlagPrecisionGiven) {
            Precision = Number;
          } else {
            Width = Number;
            Flags |= FlagPadToWidth;
          }
        } else {
          break;
        }
      }
    }

    // The text to emit: a terminated string of TextStep-byte characters.
    // A number is rendered as prefix, digits and commas into the value
    // buffer; its zero padding goes after the prefix (Head characters).
    const uint8_t* Text = reinterpret_cast<const uint8_t*>(Own);
    uint32_t TextStep = 2;
    bool Number = false;
    uint64_t Head = 0;
    Own[0] = 0;
    Own[1] = 0;
    Own[2] = 0;

    // Conversions that take an argument take exactly one slot.
    const uint16_t Kind = Done ? 0 : (Conversion ? Character : 0xFFFF);
    uint64_t Arg = 0;
    for (const char* Taker = SlotConversions; *Taker != 0; ++Taker) {
      if (Kind == static_cast<uint8_t>(*Taker)) {
        Arg = NextSlot(Args, ArgIndex);
        break;
      }
    }
    const uint8_t* const Pointer = reinterpret_cast<const uint8_t*>(Arg);

    switch (Kind) {
      case 0:
        break;

      case 'a':
      case 's':
      case 'S':
        TextStep = 1;
        Text = reinterpret_cast<const uint8_t*>(NullStringText);
        if (Pointer != nullptr) {
          Text = Pointer;
          TextStep = Kind == 'a' ? 1u : 2u;
        }
        break;

      case 'c':
        Own[0] = static_cast<uint16_t>(Arg);
        break;

      case 'd':
      case 'u':
      case 'x':
      case 'X':
      case 'p': {
        Number = true;
        uint64_t Magnitude = Arg;
        uint32_t Radix = 10;
        uint8_t Prefix = 0;
        if (Character == 'p') {
          Flags = (Flags | FlagArg64 | FlagZeroPad) & ~(FlagSignPrefix | FlagBlankPrefix);
        } else if (Character == 'X') {
          Flags |= FlagZeroPad;
        } else if (Character == 'u') {
          Flags &= ~FlagSignPrefix;
        }
        if (!(Flags & FlagArg64)) {
          Magnitude = Character == 'd' ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Magnitude)))
                                       : static_cast<uint32_t>(Magnitude);
        }
        if (Character == 'd' && static_cast<int64_t>(Magnitude) < 0) {
          Prefix = '-';
          Magnitude = 0 - Magnitude;
        } else if (Flags & FlagSignPrefix) {
          Prefix = '+';
        } else if (Flags & FlagBlankPrefix) {
          Prefix = ' ';
        }
        if (Character == 'x' || Character == 'X' || Character == 'p') {
          Radix = 16;
          Flags &= ~FlagCommaGroup;
        }
        if (Flags & FlagCommaGroup) {
          Flags &= ~FlagZeroPad;
          Precision = 1;
        }
        // Built from the end of the value buffer backwards, least
        // significant digit first, so the text reads forwards.
        uint8_t* Digit = Value + ValueBufferSize - 1;
        *Digit = 0;
        if (Magnitude != 0 || Precision != 0) {
          for (uint32_t Count = 0; Count == 0 || Magnitude != 0; ++Count) {
            if ((Flags & FlagCommaGroup) && Count != 0 && Count % 3 == 0) {
              *--Digit = ',';
            }
            *--Digit = static_cast<uint8_t>(HexDigitTable[Magnitude % Radix]);
            Magnitude /= Radix;
          }
        }
        if (Prefix != 0) {
          *--Digit = Prefix;
          Head = 1;
          Precision += Precision != UINT64_MAX;
        }
        if ((Flags & (FlagZeroPad | FlagLeftJustify | FlagPadToWidth | FlagPrecisionGiven)) ==
            (FlagZeroPad | FlagPadToWidth)) {
          Precision = Width;
        }
        Text = Digit;
        TextStep = 1;
        break;
      }

      case 'g':
      case 't':
        TextStep = 1;
        Text = reinterpret_cast<const uint8_t*>(Kind == 'g' ? NullGuidText : NullTimeText);
        if (Pointer == nullptr) {
          break;
        }
        Text = Value;
        if (Kind == 'g') {
          FormatArgs(Value, ValueBufferSize, 0, GuidFormat, ReadLe(Pointer, 4), ReadLe(Pointer + 4, 2),
                     ReadLe(Pointer + 6, 2), Pointer[8], Pointer[9], Pointer[10], Pointer[11], Pointer[12],
                     Pointer[13], Pointer[14], Pointer[15]);
        } else {
          // Month, day, year, hour, minute.
          FormatArgs(Value, ValueBufferSize, 0, TimeFormat, Pointer[2], Pointer[3], ReadLe(Pointer, 2),
                     Pointer[4], Pointer[5]);
        }
        break;

      case 'r': {
        const uint64_t Status = Arg;
        const uint64_t Index = Status & ~StatusErrorBit;
        const char* Known = nullptr;
        if (Status <= 5) {
          Known = StatusWarningText[Status];
        } else if (Status != Index && Index >= 1 && Index <= 33) {
          Known = StatusErrorText[Index];
        }
        Text = Known != nullptr ? reinterpret_cast<const uint8_t*>(Known) : Value;
        TextStep = 1;
        if (Known == nullptr) {
          FormatArgs(Value, ValueBufferSize, 0, StatusHexFormat, Status);
        }
        break;
      }

      default:
        // Any other character stands for itself; a line feed, a line feed
        // with a carriage return after it, and a carriage return with a line
        // feed after it each become carriage return + line feed.
        Own[0] = Character;
        if (Character == '\n' || Character == '\r') {
          const uint16_t Partner = Character == '\n' ? '\r' : '\n';
          if (Character == '\n' || ReadUnit(Next, FormatStep) == '\n') {
            Own[0] = '\r';
            Own[1] = '\n';
          }
          if (ReadUnit(Next, FormatStep) == Partner) {
            Next += FormatStep;
          }
        }
        break;
    }

    // A number is never cut and is zero-padded to its precision. Any other
    // text is cut at the precision when one was given, and then padded to it
    // with spaces; without one it is taken as it is.
    const bool Cut = !Number && (Flags & FlagPrecisionGiven);
    const uint64_t Length = TextLength(Text, TextStep, Cut ? Precision : UINT64_MAX);
    const uint64_t Field = ((Number || Cut) && Precision > Length) ? Precision : Length;
    const uint64_t Pad = ((Flags & FlagPadToWidth) && Width > Field) ? Width - Field : 0;
    const bool Left = (Flags & FlagLeftJustify) != 0;

    Put(Out, ' ', Left ? 0 : Pad);
    PutText(Out, Text, TextStep, 0, Head);
    Put(Out, Number ? '0' : ' ', Field - Length);
    PutText(Out, Text, TextStep, Head, Length);
    Put(Out, ' ', Left ? Pad : 0);
  }

  if (Out.CountOnly) {
    return Out.Count;
  }
  FormatFill(Out.Position, Out.Position + Out.Step, 1, 0, Out.Step);
  return static_cast<uint64_t>(Out.Position - Start) / Out.Step;
}

uint64_t FormatList(char* Buffer, uint64_t BufferSize, const char* Format, FormatArgList Args) {
  return FormatCore(Buffer, BufferSize, 0, Format, Args);
}
