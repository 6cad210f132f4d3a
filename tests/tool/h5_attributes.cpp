// Prints the attributes of an HDF5 file's "volts" dataset that korval adc writes at the end of a run, one
// "name: value ..." line each, and the dataset's rows, for the tool's tests to match.
#include <hdf5.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    const hid_t file = H5Fopen(argv[1], H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) return 1;
    const hid_t data = H5Dopen2(file, "volts", H5P_DEFAULT);
    const hid_t space = H5Dget_space(data);
    hsize_t dims[2] = {};
    H5Sget_simple_extent_dims(space, dims, nullptr);
    std::printf("rows: %llu\n", static_cast<unsigned long long>(dims[0]));
    for (const char* name : {"trigger_scans", "ring_growths", "first_scan_time_ns", "pretrigger_scans"}) {
        if (H5Aexists(data, name) <= 0) continue;
        const hid_t a = H5Aopen(data, name, H5P_DEFAULT);
        const hid_t a_space = H5Aget_space(a);
        std::vector<long long> values(static_cast<size_t>(H5Sget_simple_extent_npoints(a_space)));
        H5Aread(a, H5T_NATIVE_LLONG, values.data());
        std::printf("%s:", name);
        for (const long long v : values) std::printf(" %lld", v);
        std::printf("\n");
        H5Sclose(a_space);
        H5Aclose(a);
    }
    H5Sclose(space);
    H5Dclose(data);
    H5Fclose(file);
    return 0;
}
