/*
 * pe_finish: the last step of linking a kernel image, run on the build machine.
 *
 *   pe_finish IMAGE
 *
 * Marks every section named "INIT" discardable (the memory manager frees a driver's
 * discardable sections once DriverEntry has returned; the GNU linker has no option to
 * set that characteristic) and writes the optional header's CheckSum, which the loader
 * verifies for boot-start drivers. The image is rewritten in place. Exit status 0 on
 * success, 1 when the file is no 32-bit PE image or cannot be read or written.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DOS_LFANEW 0x3C
#define PE_SIGNATURE 0x00004550u   /* "PE\0\0" */
#define COFF_NUMBER_OF_SECTIONS 6  /* offsets from the signature */
#define COFF_SIZE_OF_OPTIONAL 20
#define OPTIONAL_HEADER 24
#define OPTIONAL_MAGIC_PE32 0x10B
#define OPTIONAL_CHECKSUM 64       /* offset inside the optional header */
#define SECTION_HEADER_SIZE 40
#define SECTION_CHARACTERISTICS 36
#define SCN_MEM_DISCARDABLE 0x02000000u

static uint32_t get16(const unsigned char *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t get32(const unsigned char *p) { return get16(p) | get16(p + 2) << 16; }
static void put32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* The image checksum: the one's-complement style sum of the file's 16-bit little-endian
   words, folded to 16 bits after each addition, with the CheckSum field counted as zero,
   plus the file length. */
static uint32_t image_checksum(const unsigned char *image, size_t size, size_t checksum_at)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        uint32_t word = image[i];
        if (i + 1 < size)
            word |= (uint32_t)image[i + 1] << 8;
        if (i >= checksum_at && i < checksum_at + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + (uint32_t)size;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: pe_finish IMAGE\n");
        return 1;
    }
    const char *path = argv[1];
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        perror(path);
        return 1;
    }
    unsigned char *image = NULL;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    if (size > 0 && fseek(file, 0, SEEK_SET) == 0 && (image = malloc((size_t)size)) != NULL &&
        fread(image, 1, (size_t)size, file) != (size_t)size) {
        free(image);
        image = NULL;
    }
    fclose(file);
    if (image == NULL) {
        fprintf(stderr, "%s: cannot read the image\n", path);
        return 1;
    }

    const size_t length = (size_t)size;
    size_t pe = length > DOS_LFANEW + 4 ? get32(image + DOS_LFANEW) : length;
    if (image[0] != 'M' || image[1] != 'Z' || pe + OPTIONAL_HEADER + OPTIONAL_CHECKSUM + 4 > length ||
        get32(image + pe) != PE_SIGNATURE || get16(image + pe + OPTIONAL_HEADER) != OPTIONAL_MAGIC_PE32) {
        fprintf(stderr, "%s: not a 32-bit PE image\n", path);
        free(image);
        return 1;
    }
    const uint32_t sections = get16(image + pe + COFF_NUMBER_OF_SECTIONS);
    const size_t table = pe + OPTIONAL_HEADER + get16(image + pe + COFF_SIZE_OF_OPTIONAL);
    if (table + (size_t)sections * SECTION_HEADER_SIZE > length) {
        fprintf(stderr, "%s: section table runs past the end of the file\n", path);
        free(image);
        return 1;
    }
    unsigned discarded = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        unsigned char *header = image + table + (size_t)i * SECTION_HEADER_SIZE;
        if (memcmp(header, "INIT\0\0\0\0", 8) == 0) {
            put32(header + SECTION_CHARACTERISTICS, get32(header + SECTION_CHARACTERISTICS) | SCN_MEM_DISCARDABLE);
            ++discarded;
        }
    }
    const size_t checksum_at = pe + OPTIONAL_HEADER + OPTIONAL_CHECKSUM;
    const uint32_t checksum = image_checksum(image, length, checksum_at);
    put32(image + checksum_at, checksum);

    file = fopen(path, "r+b");
    int ok = file != NULL && fwrite(image, 1, length, file) == length;
    if (file != NULL && fclose(file) != 0)
        ok = 0;
    free(image);
    if (!ok) {
        perror(path);
        return 1;
    }
    printf("%s: checksum 0x%08X, %u discardable INIT section%s\n", path, checksum, discarded,
           discarded == 1 ? "" : "s");
    return 0;
}
