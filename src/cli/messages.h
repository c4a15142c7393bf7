// Everything vurn says: the texts, the one function that writes them to standard error, and the
// progress line drawn there between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vurn::text {

// Fixed for compatibility: scripts and people compare these byte for byte (spelling, spacing and
// trailing blanks included), so each stays exactly as it is. Formats are printf's.

// The help text: 659 bytes, then the line of -r.
inline constexpr char HELP[] =
    "molvex: help\n"
    "usage: [options] [file]\n"
    "   --help : This help message\n"
    "   --version : Show current version\n"
    "   -c, --stdout : write to standard output, original files remain unchanged\n"
    "   -v : show optional messages\n"
    "   -k <keyfile> : set keyfile, if left off will look in stdin\n"
    "   -e : create vurn file by encrypting\n"
    "   -d : decrypt vurn file (either x or c required)\n"
    "   -b <num> :  set blocksize in bits (optional) default=256\n"
    "   -K <num> :  set keysize in bits (optional) default=256 \n"
    "   -o <file> : set output file\n"
    "   -z : use compression \n"
    "   -i : Turn off interactivity, namely won't prompt you for keyname.\n"
    "   -m <keyfile> : create keyfile (required) and exit\n"
    "   -r : encrypt or decrypt the files in folders and their subfolders\n";
inline constexpr char MISSING_OPTIONS[] =
    "vurn: missing options( \"vurn --help\" for help\nsample usage: vurn [options] \n";
inline constexpr char VERSION[] = "Molvex version %s\n";
inline constexpr char NO_COMMAND[] = "You forgot to put whether you want to encrypt or decrypt\n";
inline constexpr char NO_KEY_LENGTH[] =
    "Error in getting key length\nusage: vurn -K <key length> [options]\n";
inline constexpr char ILLEGAL_KEY_LENGTH[] =
    "Illegal key length option, must be 128, 192, or 256 bits\n";
inline constexpr char NO_BLOCK_LENGTH[] =
    "Error in getting block length\nusage: vurn -b <block length> [options]\n";
inline constexpr char ILLEGAL_BLOCK_LENGTH[] =
    "Illegal block length option, must be 128, 192, or 256 bits\n";

// Key files.
inline constexpr char NO_RANDOM_DEVICE[] = "Could not open random device %s: %s\n";
inline constexpr char RANDOM_READ_FAILED[] = "Error in making key\nCoudn't read from /dev/random\n";
inline constexpr char CANNOT_CREATE_KEY_FILE[] = "Could not create key file %s: %s\n";
inline constexpr char KEY_FILE_EXISTS[] =
    "Could not create key file %s: File exists; for a new key, give another name or remove the "
    "old file first\n";
inline constexpr char KEY_NOT_MADE[] = "Error creating key\n";
inline constexpr char KEY_MADE[] = "%d bit key created successfully\n";
inline constexpr char CANNOT_OPEN_KEY_FILE[] = "Could not open key file %s: %s\n";
inline constexpr char NOT_A_REGULAR_FILE[] = "not a regular file";  // a reason, after a name
inline constexpr char BAD_KEY_SIZE[] =
    "Error: %lld Key read in was not valid size, must be 128,192 or 256\n";
inline constexpr char SHORT_KEY_READ[] =
    "Error: Unable to read in entire key read in %zu of %lld\n";

// The key of encryption.
inline constexpr char KEY_PROMPT[] = "Enter key filename: ";
inline constexpr char PROMPTED_NAME_TOO_LONG[] = "Key filename too long: at most 99 characters\n";
inline constexpr char NO_PROMPTED_NAME[] = "No key filename given\n";
inline constexpr char STDIN_READ_FAILED[] = "Error reading standard input: %s\n";
inline constexpr char KEY_GENERATED[] = "The %d bit key created is %s \n";
inline constexpr char NO_KEY[] = "Error Reading in Key\n";
inline constexpr char ENCRYPTION_KEY_FAILED[] = "Failure to initialize key with error code %d\n";
inline constexpr char ENCRYPTION_MODE_FAILED[] = "Failure to initialize cipher\n";

// The key of decryption and the container's header.
inline constexpr char STORED_KEY_NAME[] = "The keyname found was %s\n";
inline constexpr char STORED_KEY_READ[] = "The %i bit key read in is %s \n";
inline constexpr char STORED_NAME_HOLDS_NUL[] =
    "The key file name stored in %s holds a NUL byte; name the key file with -k\n";
inline constexpr char STORED_NAME_TOO_LONG[] =
    "The key file name stored in %s is longer than %d bytes; name the key file with -k\n";
inline constexpr char NOT_A_CONTAINER[] = "%s is not a valid vurn container\n";
inline constexpr char DECRYPTION_KEY_FAILED[] = "MOLVEX: Error initializing key\n";
inline constexpr char DECRYPTION_MODE_FAILED[] = "MOLVEX: Error initializing cipher\n";
inline constexpr char CHUNK_SIZE[] = "Blocksize is %d\n";
inline constexpr char ENDS_INSIDE_CHUNK[] =
    "Warning: %s ends inside a chunk; its last chunk was zero-filled\n";

// Inputs, outputs and the run's outcome.
inline constexpr char INPUT_NOT_FOUND[] = "File not found for encrypting: %s\n";
inline constexpr char CANNOT_OPEN_INPUT[] = "Unable to open file: %s for reading: %s\n";
inline constexpr char NO_STANDARD_EXTENSION[] =
    "Warning: file: %s does not have the standard extension: %s\nfor %s. using %s extension for "
    "output instead\n";
inline constexpr char NO_NAME_TO_DERIVE[] =
    "There is no file name to derive the output name from when reading standard input; use -c "
    "to write to standard output or -o <file> to name the output file\n";
inline constexpr char CANNOT_CREATE_OUTPUT[] = "Unable to create file: %s for writing: %s\n";
inline constexpr char READ_FAILED[] = "Error reading %s: %s\n";
inline constexpr char WRITE_FAILED[] = "Error writing %s: %s\n";
inline constexpr char NO_MEMORY[] = "Not enough memory for the data buffer\n";
inline constexpr char ENCRYPTION_FAILED[] = "Encryption operation failed\n";
inline constexpr char ENCRYPTION_DONE[] = "Encryption operation completed successfully\n";
inline constexpr char DECRYPTION_FAILED[] = "Decryption operation failed\n";
inline constexpr char DECRYPTION_DONE[] = "Decryption operation completed successful\n";

// Refusals that keep data from being lost.
inline constexpr char KEY_NAME_HOLDS_SPACE[] =
    "The key file name %s holds white space, which a container cannot store; rename the key "
    "file\n";
inline constexpr char OUTPUT_IS_KEY_FILE[] =
    "The output file %s is the key file; name another output file\n";
inline constexpr char NO_OUTPUT_NAME_LEFT[] =
    "Removing .vurn from %s leaves no file name; name the output file with -o\n";

// The compressor children.
inline constexpr char FILTER_CANNOT_RUN[] = "Error running gzip...\n";  // either program
inline constexpr char CANNOT_START_FILTER[] = "Cannot start %s: %s\n";
inline constexpr char CANNOT_OPEN_FILTER_PIPE[] = "Cannot open the pipe to the compressor: %s\n";
inline constexpr char FILTER_EXIT_STATUS[] = "%s failed with exit status %d\n";
inline constexpr char FILTER_SIGNAL[] = "%s was ended by signal %d\n";
inline constexpr char FILTER_INPUT_UNREAD[] = "%s ended before reading all of its input\n";

// Runs of several files: the line before the messages of each file, and the refusals.
inline constexpr char FILE_LABEL[] = "%s:\n";
inline constexpr char ONE_OUTPUT_FOR_MANY[] =
    "-o names one output file; name one input file with -o, or leave -o off\n";
inline constexpr char MANY_CONTAINERS_TO_STDOUT[] =
    "Several containers on standard output cannot be decrypted; encrypt one file with -c\n";
inline constexpr char OUTPUT_OF_THIS_RUN[] =
    "%s was written earlier in this run; it is left as it is\n";
inline constexpr char FOLDER_SYNC_FAILED[] = "Error syncing the folders of the outputs: %s\n";
inline constexpr char INPUT_IS_RUN_KEY[] = "%s is the key file of this run; it is left as it is\n";

// Folders (-r).
inline constexpr char FOLDERS_NEED_KEY[] =
    "Name the key file with -k to decrypt folders: without it each container would choose the "
    "key file that decrypts it\n";
inline constexpr char WALK_SKIPPED[] = "Skipping %s: %s\n";
inline constexpr char WALK_FAILED[] = "Cannot read %s: %s\n";
inline constexpr char SKIP_SYMBOLIC_LINK[] = "symbolic link, not followed";
inline constexpr char SKIP_NOT_REGULAR[] = "not a regular file or folder";
inline constexpr char SKIP_OTHER_FILE_SYSTEM[] = "on another file system";
inline constexpr char SKIP_VISITED[] = "folder entered already";
inline constexpr char SKIP_HOLDS_VURN[] = "its name holds .vurn";
inline constexpr char SKIP_RUN_KEY[] = "the key file of this run";

// What messages call the standard streams.
inline constexpr char STANDARD_INPUT[] = "standard input";
inline constexpr char STANDARD_OUTPUT[] = "standard output";

}  // namespace vurn::text

namespace vurn {

// Writes one message to standard error, formatted as printf does. A progress line on show is
// erased first.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...);

// argv[0], for the one message that names the program; set once at start.
void set_program_name(const char* name);
const char* program_name();

// name as it may be shown on a terminal: valid UTF-8 stays as it is, except control characters
// (C0, DEL and C1); they and every byte that is not part of valid UTF-8 become three-digit octal
// escapes such as \033, a byte each, so that a name from a file cannot drive the terminal.
std::string printable(std::string_view name);

// With several files in a run, the messages of each follow a line naming it (FILE_LABEL), written
// before the first message said after begin_file(name), so a file that says nothing gets none.
// A null name: no such line (a run of one file).
void begin_file(const char* name);

// What the progress line shows: which file of how many, and the input of the file in progress.
struct progress_figures {
  std::size_t file_number = 0;  // 1 for the first; 0: a run of one file, not counted
  std::size_t file_count = 0;   // 0: unknown
  std::string_view file_name;
  std::uint64_t done = 0;   // input bytes
  std::uint64_t total = 0;  // 0: unknown
  double rate = 0;          // bytes a second
};

// Whether a progress line may be drawn: standard error is a terminal, and the run does not write
// its data to standard output on a terminal (the line would be drawn into the data).
bool progress_wanted(bool data_to_stdout);

// Draws the progress line in place of the one on show. Where the terminal understands no escape
// sequences (TERM unset or "dumb"), a shorter line is padded with blanks instead.
void show_progress(const progress_figures& figures);

// Erases the progress line, if one is on show.
void erase_progress();

}  // namespace vurn
