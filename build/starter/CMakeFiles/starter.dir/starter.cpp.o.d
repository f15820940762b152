starter/CMakeFiles/starter.dir/starter.cpp.o: \
 /work/main/starter/starter.cpp /usr/include/stdc-predef.h \
 /usr/include/c++/12/algorithm /usr/include/c++/12/bits/stl_algobase.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/c++config.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/os_defines.h \
 /usr/include/features.h /usr/include/features-time64.h \
 /usr/include/x86_64-linux-gnu/bits/wordsize.h \
 /usr/include/x86_64-linux-gnu/bits/timesize.h \
 /usr/include/x86_64-linux-gnu/sys/cdefs.h \
 /usr/include/x86_64-linux-gnu/bits/long-double.h \
 /usr/include/x86_64-linux-gnu/gnu/stubs.h \
 /usr/include/x86_64-linux-gnu/gnu/stubs-64.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/cpu_defines.h \
 /usr/include/c++/12/pstl/pstl_config.h \
 /usr/include/c++/12/bits/functexcept.h \
 /usr/include/c++/12/bits/exception_defines.h \
 /usr/include/c++/12/bits/cpp_type_traits.h \
 /usr/include/c++/12/ext/type_traits.h \
 /usr/include/c++/12/ext/numeric_traits.h \
 /usr/include/c++/12/bits/stl_pair.h /usr/include/c++/12/type_traits \
 /usr/include/c++/12/bits/move.h /usr/include/c++/12/bits/utility.h \
 /usr/include/c++/12/bits/stl_iterator_base_types.h \
 /usr/include/c++/12/bits/stl_iterator_base_funcs.h \
 /usr/include/c++/12/bits/concept_check.h \
 /usr/include/c++/12/debug/assertions.h \
 /usr/include/c++/12/bits/stl_iterator.h \
 /usr/include/c++/12/bits/ptr_traits.h /usr/include/c++/12/debug/debug.h \
 /usr/include/c++/12/bits/predefined_ops.h \
 /usr/include/c++/12/bits/stl_algo.h \
 /usr/include/c++/12/bits/algorithmfwd.h \
 /usr/include/c++/12/initializer_list /usr/include/c++/12/bits/stl_heap.h \
 /usr/include/c++/12/bits/stl_tempbuf.h \
 /usr/include/c++/12/bits/stl_construct.h /usr/include/c++/12/new \
 /usr/include/c++/12/bits/exception.h \
 /usr/include/c++/12/bits/uniform_int_dist.h /usr/include/c++/12/cstdlib \
 /usr/include/stdlib.h \
 /usr/include/x86_64-linux-gnu/bits/libc-header-start.h \
 /usr/lib/gcc/x86_64-linux-gnu/12/include/stddef.h \
 /usr/include/x86_64-linux-gnu/bits/waitflags.h \
 /usr/include/x86_64-linux-gnu/bits/waitstatus.h \
 /usr/include/x86_64-linux-gnu/bits/floatn.h \
 /usr/include/x86_64-linux-gnu/bits/floatn-common.h \
 /usr/include/x86_64-linux-gnu/bits/types/locale_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/__locale_t.h \
 /usr/include/x86_64-linux-gnu/sys/types.h \
 /usr/include/x86_64-linux-gnu/bits/types.h \
 /usr/include/x86_64-linux-gnu/bits/typesizes.h \
 /usr/include/x86_64-linux-gnu/bits/time64.h \
 /usr/include/x86_64-linux-gnu/bits/types/clock_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/clockid_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/time_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/timer_t.h \
 /usr/include/x86_64-linux-gnu/bits/stdint-intn.h /usr/include/endian.h \
 /usr/include/x86_64-linux-gnu/bits/endian.h \
 /usr/include/x86_64-linux-gnu/bits/endianness.h \
 /usr/include/x86_64-linux-gnu/bits/byteswap.h \
 /usr/include/x86_64-linux-gnu/bits/uintn-identity.h \
 /usr/include/x86_64-linux-gnu/sys/select.h \
 /usr/include/x86_64-linux-gnu/bits/select.h \
 /usr/include/x86_64-linux-gnu/bits/types/sigset_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/__sigset_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_timeval.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_timespec.h \
 /usr/include/x86_64-linux-gnu/bits/pthreadtypes.h \
 /usr/include/x86_64-linux-gnu/bits/thread-shared-types.h \
 /usr/include/x86_64-linux-gnu/bits/pthreadtypes-arch.h \
 /usr/include/x86_64-linux-gnu/bits/atomic_wide_counter.h \
 /usr/include/x86_64-linux-gnu/bits/struct_mutex.h \
 /usr/include/x86_64-linux-gnu/bits/struct_rwlock.h /usr/include/alloca.h \
 /usr/include/x86_64-linux-gnu/bits/stdlib-bsearch.h \
 /usr/include/x86_64-linux-gnu/bits/stdlib-float.h \
 /usr/include/c++/12/bits/std_abs.h \
 /usr/include/c++/12/pstl/glue_algorithm_defs.h \
 /usr/include/c++/12/pstl/execution_defs.h /usr/include/c++/12/utility \
 /usr/include/c++/12/bits/stl_relops.h /usr/include/c++/12/functional \
 /usr/include/c++/12/bits/stl_function.h \
 /usr/include/c++/12/backward/binders.h /usr/include/c++/12/tuple \
 /usr/include/c++/12/bits/uses_allocator.h \
 /usr/include/c++/12/bits/invoke.h \
 /usr/include/c++/12/bits/functional_hash.h \
 /usr/include/c++/12/bits/hash_bytes.h /usr/include/c++/12/bits/refwrap.h \
 /usr/include/c++/12/bits/std_function.h /usr/include/c++/12/typeinfo \
 /usr/include/c++/12/unordered_map /usr/include/c++/12/bits/allocator.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/c++allocator.h \
 /usr/include/c++/12/bits/new_allocator.h \
 /usr/include/c++/12/bits/memoryfwd.h \
 /usr/include/c++/12/ext/alloc_traits.h \
 /usr/include/c++/12/bits/alloc_traits.h \
 /usr/include/c++/12/ext/aligned_buffer.h \
 /usr/include/c++/12/bits/hashtable.h \
 /usr/include/c++/12/bits/hashtable_policy.h \
 /usr/include/c++/12/bits/enable_special_members.h \
 /usr/include/c++/12/bits/node_handle.h \
 /usr/include/c++/12/bits/unordered_map.h \
 /usr/include/c++/12/bits/range_access.h \
 /usr/include/c++/12/bits/erase_if.h /usr/include/c++/12/vector \
 /usr/include/c++/12/bits/stl_uninitialized.h \
 /usr/include/c++/12/bits/stl_vector.h \
 /usr/include/c++/12/bits/stl_bvector.h \
 /usr/include/c++/12/bits/vector.tcc /usr/include/c++/12/array \
 /usr/include/c++/12/compare /usr/include/c++/12/string \
 /usr/include/c++/12/bits/stringfwd.h \
 /usr/include/c++/12/bits/char_traits.h \
 /usr/include/c++/12/bits/postypes.h /usr/include/c++/12/cwchar \
 /usr/include/wchar.h /usr/lib/gcc/x86_64-linux-gnu/12/include/stdarg.h \
 /usr/include/x86_64-linux-gnu/bits/wchar.h \
 /usr/include/x86_64-linux-gnu/bits/types/wint_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/mbstate_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/__mbstate_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/__FILE.h \
 /usr/include/x86_64-linux-gnu/bits/types/FILE.h \
 /usr/include/c++/12/cstdint \
 /usr/lib/gcc/x86_64-linux-gnu/12/include/stdint.h /usr/include/stdint.h \
 /usr/include/x86_64-linux-gnu/bits/stdint-uintn.h \
 /usr/include/c++/12/bits/localefwd.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/c++locale.h \
 /usr/include/c++/12/clocale /usr/include/locale.h \
 /usr/include/x86_64-linux-gnu/bits/locale.h /usr/include/c++/12/iosfwd \
 /usr/include/c++/12/cctype /usr/include/ctype.h \
 /usr/include/c++/12/bits/ostream_insert.h \
 /usr/include/c++/12/bits/cxxabi_forced.h \
 /usr/include/c++/12/bits/basic_string.h /usr/include/c++/12/string_view \
 /usr/include/c++/12/bits/string_view.tcc \
 /usr/include/c++/12/ext/string_conversions.h /usr/include/c++/12/cstdio \
 /usr/include/stdio.h /usr/include/x86_64-linux-gnu/bits/types/__fpos_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/__fpos64_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_FILE.h \
 /usr/include/x86_64-linux-gnu/bits/types/cookie_io_functions_t.h \
 /usr/include/x86_64-linux-gnu/bits/stdio_lim.h \
 /usr/include/x86_64-linux-gnu/bits/stdio.h /usr/include/c++/12/cerrno \
 /usr/include/errno.h /usr/include/x86_64-linux-gnu/bits/errno.h \
 /usr/include/linux/errno.h /usr/include/x86_64-linux-gnu/asm/errno.h \
 /usr/include/asm-generic/errno.h /usr/include/asm-generic/errno-base.h \
 /usr/include/x86_64-linux-gnu/bits/types/error_t.h \
 /usr/include/c++/12/bits/charconv.h \
 /usr/include/c++/12/bits/basic_string.tcc /usr/include/c++/12/atomic \
 /usr/include/c++/12/bits/atomic_base.h \
 /usr/include/c++/12/bits/atomic_lockfree_defines.h \
 /usr/include/c++/12/exception /usr/include/c++/12/bits/exception_ptr.h \
 /usr/include/c++/12/bits/cxxabi_init_exception.h \
 /usr/include/c++/12/bits/nested_exception.h /usr/include/c++/12/memory \
 /usr/include/c++/12/bits/stl_raw_storage_iter.h \
 /usr/include/c++/12/bits/align.h /usr/include/c++/12/bit \
 /usr/include/c++/12/bits/unique_ptr.h \
 /usr/include/c++/12/bits/shared_ptr.h \
 /usr/include/c++/12/bits/shared_ptr_base.h \
 /usr/include/c++/12/bits/allocated_ptr.h \
 /usr/include/c++/12/ext/atomicity.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/gthr.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/gthr-default.h \
 /usr/include/pthread.h /usr/include/sched.h \
 /usr/include/x86_64-linux-gnu/bits/sched.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_sched_param.h \
 /usr/include/x86_64-linux-gnu/bits/cpu-set.h /usr/include/time.h \
 /usr/include/x86_64-linux-gnu/bits/time.h \
 /usr/include/x86_64-linux-gnu/bits/timex.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_tm.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_itimerspec.h \
 /usr/include/x86_64-linux-gnu/bits/setjmp.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct___jmp_buf_tag.h \
 /usr/include/x86_64-linux-gnu/bits/pthread_stack_min-dynamic.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/atomic_word.h \
 /usr/include/x86_64-linux-gnu/sys/single_threaded.h \
 /usr/include/c++/12/ext/concurrence.h \
 /usr/include/c++/12/bits/shared_ptr_atomic.h \
 /usr/include/c++/12/backward/auto_ptr.h \
 /usr/include/c++/12/pstl/glue_memory_defs.h /usr/include/ace/Log_Msg.h \
 /usr/include/ace/pre.h /usr/include/ace/config-all.h \
 /usr/include/ace/config-lite.h /usr/include/ace/config-macros.h \
 /usr/include/ace/config.h /usr/include/ace/config-linux.h \
 /usr/include/ace/config-linux-common.h /usr/include/ace/config-posix.h \
 /usr/include/unistd.h /usr/include/x86_64-linux-gnu/bits/posix_opt.h \
 /usr/include/x86_64-linux-gnu/bits/environments.h \
 /usr/include/x86_64-linux-gnu/bits/confname.h \
 /usr/include/x86_64-linux-gnu/bits/getopt_posix.h \
 /usr/include/x86_64-linux-gnu/bits/getopt_core.h \
 /usr/include/x86_64-linux-gnu/bits/unistd_ext.h \
 /usr/include/linux/close_range.h /usr/include/ace/config-g++-common.h \
 /usr/include/ace/post.h /usr/include/linux/version.h \
 /usr/include/ace/config-face-safety.h /usr/include/ace/Version.h \
 /usr/include/ace/Versioned_Namespace.h /usr/include/ace/ace_wchar.h \
 /usr/include/c++/12/cwctype /usr/include/wctype.h \
 /usr/include/x86_64-linux-gnu/bits/wctype-wchar.h \
 /usr/include/ace/ace_wchar.inl /usr/include/string.h \
 /usr/include/strings.h /usr/include/ace/OS_main.h \
 /usr/include/ace/ACE_export.h /usr/include/ace/Global_Macros.h \
 /usr/include/ace/Assert.h /usr/include/ace/OS_Errno.h \
 /usr/include/ace/OS_NS_errno.h /usr/include/ace/os_include/os_errno.h \
 /usr/include/ace/OS_NS_errno.inl /usr/include/ace/OS_Errno.inl \
 /usr/include/ace/Default_Constants.h \
 /usr/include/ace/os_include/os_limits.h \
 /usr/include/ace/os_include/os_unistd.h \
 /usr/include/ace/os_include/sys/os_types.h \
 /usr/include/ace/os_include/os_stddef.h \
 /usr/include/ace/os_include/os_inttypes.h \
 /usr/include/ace/os_include/os_stdint.h /usr/include/inttypes.h \
 /usr/include/ace/os_include/os_stdio.h \
 /usr/include/ace/os_include/os_stdarg.h \
 /usr/lib/gcc/x86_64-linux-gnu/12/include/limits.h \
 /usr/lib/gcc/x86_64-linux-gnu/12/include/syslimits.h \
 /usr/include/limits.h /usr/include/x86_64-linux-gnu/bits/posix1_lim.h \
 /usr/include/x86_64-linux-gnu/bits/local_lim.h \
 /usr/include/linux/limits.h \
 /usr/include/x86_64-linux-gnu/bits/posix2_lim.h \
 /usr/include/x86_64-linux-gnu/bits/xopen_lim.h \
 /usr/include/x86_64-linux-gnu/bits/uio_lim.h \
 /usr/include/x86_64-linux-gnu/sys/param.h /usr/include/signal.h \
 /usr/include/x86_64-linux-gnu/bits/signum-generic.h \
 /usr/include/x86_64-linux-gnu/bits/signum-arch.h \
 /usr/include/x86_64-linux-gnu/bits/types/sig_atomic_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/siginfo_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/__sigval_t.h \
 /usr/include/x86_64-linux-gnu/bits/siginfo-arch.h \
 /usr/include/x86_64-linux-gnu/bits/siginfo-consts.h \
 /usr/include/x86_64-linux-gnu/bits/siginfo-consts-arch.h \
 /usr/include/x86_64-linux-gnu/bits/types/sigval_t.h \
 /usr/include/x86_64-linux-gnu/bits/types/sigevent_t.h \
 /usr/include/x86_64-linux-gnu/bits/sigevent-consts.h \
 /usr/include/x86_64-linux-gnu/bits/sigaction.h \
 /usr/include/x86_64-linux-gnu/bits/sigcontext.h \
 /usr/include/x86_64-linux-gnu/bits/types/stack_t.h \
 /usr/include/x86_64-linux-gnu/sys/ucontext.h \
 /usr/include/x86_64-linux-gnu/bits/sigstack.h \
 /usr/include/x86_64-linux-gnu/bits/sigstksz.h \
 /usr/include/x86_64-linux-gnu/bits/ss_flags.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_sigstack.h \
 /usr/include/x86_64-linux-gnu/bits/sigthread.h \
 /usr/include/x86_64-linux-gnu/bits/signal_ext.h \
 /usr/include/x86_64-linux-gnu/bits/param.h /usr/include/linux/param.h \
 /usr/include/x86_64-linux-gnu/asm/param.h \
 /usr/include/asm-generic/param.h /usr/include/ace/Log_Priority.h \
 /usr/include/ace/Synch_Traits.h /usr/include/ace/Lock.h \
 /usr/include/ace/Lock.inl /usr/include/ace/Basic_Types.h \
 /usr/include/ace/os_include/os_float.h \
 /usr/lib/gcc/x86_64-linux-gnu/12/include/float.h \
 /usr/include/ace/os_include/os_stdlib.h \
 /usr/include/ace/os_include/sys/os_wait.h \
 /usr/include/ace/os_include/os_signal.h \
 /usr/include/ace/os_include/os_ucontext.h /usr/include/ucontext.h \
 /usr/include/x86_64-linux-gnu/bits/indirect-return.h \
 /usr/include/ace/os_include/sys/os_resource.h \
 /usr/include/ace/os_include/sys/os_time.h \
 /usr/include/x86_64-linux-gnu/sys/time.h \
 /usr/include/x86_64-linux-gnu/sys/resource.h \
 /usr/include/x86_64-linux-gnu/bits/resource.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_rusage.h \
 /usr/include/x86_64-linux-gnu/sys/syscall.h \
 /usr/include/x86_64-linux-gnu/asm/unistd.h \
 /usr/include/x86_64-linux-gnu/asm/unistd_64.h \
 /usr/include/x86_64-linux-gnu/bits/syscall.h \
 /usr/include/x86_64-linux-gnu/sys/wait.h \
 /usr/include/x86_64-linux-gnu/bits/types/idtype_t.h \
 /usr/include/c++/12/stdlib.h /usr/include/ace/os_include/arpa/os_inet.h \
 /usr/include/ace/os_include/netinet/os_in.h \
 /usr/include/ace/os_include/sys/os_socket.h \
 /usr/include/ace/os_include/sys/os_uio.h \
 /usr/include/x86_64-linux-gnu/sys/uio.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_iovec.h \
 /usr/include/x86_64-linux-gnu/bits/uio-ext.h \
 /usr/include/x86_64-linux-gnu/sys/socket.h \
 /usr/include/x86_64-linux-gnu/bits/socket.h \
 /usr/include/x86_64-linux-gnu/bits/socket_type.h \
 /usr/include/x86_64-linux-gnu/bits/sockaddr.h \
 /usr/include/x86_64-linux-gnu/asm/socket.h \
 /usr/include/asm-generic/socket.h /usr/include/linux/posix_types.h \
 /usr/include/linux/stddef.h \
 /usr/include/x86_64-linux-gnu/asm/posix_types.h \
 /usr/include/x86_64-linux-gnu/asm/posix_types_64.h \
 /usr/include/asm-generic/posix_types.h \
 /usr/include/x86_64-linux-gnu/asm/bitsperlong.h \
 /usr/include/asm-generic/bitsperlong.h \
 /usr/include/x86_64-linux-gnu/asm/sockios.h \
 /usr/include/asm-generic/sockios.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_osockaddr.h \
 /usr/include/x86_64-linux-gnu/asm/types.h \
 /usr/include/asm-generic/types.h /usr/include/asm-generic/int-ll64.h \
 /usr/include/linux/netlink.h /usr/include/linux/const.h \
 /usr/include/linux/socket.h /usr/include/linux/types.h \
 /usr/include/netinet/in.h /usr/include/x86_64-linux-gnu/bits/in.h \
 /usr/include/arpa/inet.h /usr/include/ace/OS_Log_Msg_Attributes.h \
 /usr/include/ace/iosfwd.h /usr/include/ace/OS_Log_Msg_Attributes.inl \
 /usr/include/ace/Log_Msg.inl /usr/include/ace/OS_NS_string.h \
 /usr/include/ace/OS_NS_string.inl /usr/include/ace/OS_NS_wchar.h \
 /usr/include/ace/os_include/os_wchar.h \
 /usr/include/ace/os_include/os_time.h \
 /usr/include/ace/os_include/os_string.h \
 /usr/include/ace/os_include/os_ctype.h /usr/include/ace/OS_NS_wchar.inl \
 /usr/include/ace/OS_NS_unistd.h /usr/include/ace/Time_Value.h \
 /usr/include/ace/Truncate.h /usr/include/ace/If_Then_Else.h \
 /usr/include/ace/Numeric_Limits.h /usr/include/c++/12/limits \
 /usr/include/c++/12/chrono /usr/include/c++/12/bits/chrono.h \
 /usr/include/c++/12/ratio /usr/include/c++/12/ctime \
 /usr/include/c++/12/bits/parse_numbers.h /usr/include/c++/12/ostream \
 /usr/include/c++/12/ios /usr/include/c++/12/bits/ios_base.h \
 /usr/include/c++/12/bits/locale_classes.h \
 /usr/include/c++/12/bits/locale_classes.tcc \
 /usr/include/c++/12/system_error \
 /usr/include/x86_64-linux-gnu/c++/12/bits/error_constants.h \
 /usr/include/c++/12/stdexcept /usr/include/c++/12/streambuf \
 /usr/include/c++/12/bits/streambuf.tcc \
 /usr/include/c++/12/bits/basic_ios.h \
 /usr/include/c++/12/bits/locale_facets.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/ctype_base.h \
 /usr/include/c++/12/bits/streambuf_iterator.h \
 /usr/include/x86_64-linux-gnu/c++/12/bits/ctype_inline.h \
 /usr/include/c++/12/bits/locale_facets.tcc \
 /usr/include/c++/12/bits/basic_ios.tcc \
 /usr/include/c++/12/bits/ostream.tcc /usr/include/ace/Time_Value.inl \
 /usr/include/ace/OS_NS_unistd.inl /usr/include/ace/OS_NS_sys_utsname.h \
 /usr/include/ace/os_include/sys/os_utsname.h \
 /usr/include/x86_64-linux-gnu/sys/utsname.h \
 /usr/include/x86_64-linux-gnu/bits/utsname.h \
 /usr/include/ace/OS_NS_macros.h /usr/include/ace/OS_NS_fcntl.h \
 /usr/include/ace/os_include/os_fcntl.h \
 /usr/include/ace/os_include/sys/os_stat.h \
 /usr/include/x86_64-linux-gnu/sys/stat.h \
 /usr/include/x86_64-linux-gnu/bits/stat.h \
 /usr/include/x86_64-linux-gnu/bits/struct_stat.h \
 /usr/include/x86_64-linux-gnu/bits/statx.h /usr/include/linux/stat.h \
 /usr/include/x86_64-linux-gnu/bits/statx-generic.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_statx_timestamp.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_statx.h \
 /usr/include/fcntl.h /usr/include/x86_64-linux-gnu/bits/fcntl.h \
 /usr/include/x86_64-linux-gnu/bits/fcntl-linux.h \
 /usr/include/linux/falloc.h /usr/include/ace/OS_NS_fcntl.inl \
 /usr/include/ace/OS_Memory.h /usr/include/ace/OS_NS_stdlib.h \
 /usr/include/ace/OS_NS_stdlib.inl /usr/include/ace/Object_Manager_Base.h \
 /usr/include/ace/Cleanup.h /usr/include/ace/Intrusive_List.h \
 /usr/include/ace/Intrusive_List.inl /usr/include/ace/Intrusive_List.cpp \
 /usr/include/ace/Intrusive_List_Node.h \
 /usr/include/ace/Intrusive_List_Node.inl \
 /usr/include/ace/Intrusive_List_Node.cpp /usr/include/ace/Cleanup.inl \
 /usr/include/ace/os_include/os_search.h /usr/include/search.h \
 /usr/include/ace/OS_NS_Thread.h /usr/include/ace/os_include/os_pthread.h \
 /usr/include/ace/os_include/os_sched.h \
 /usr/include/ace/Base_Thread_Adapter.h \
 /usr/include/ace/Base_Thread_Adapter.inl \
 /usr/include/ace/os_include/sys/os_sem.h \
 /usr/include/ace/os_include/sys/os_ipc.h \
 /usr/include/x86_64-linux-gnu/sys/ipc.h \
 /usr/include/x86_64-linux-gnu/bits/ipctypes.h \
 /usr/include/x86_64-linux-gnu/bits/ipc.h \
 /usr/include/x86_64-linux-gnu/bits/ipc-perm.h \
 /usr/include/x86_64-linux-gnu/sys/sem.h \
 /usr/include/x86_64-linux-gnu/bits/sem.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_semid_ds.h \
 /usr/include/x86_64-linux-gnu/bits/types/struct_semid64_ds.h \
 /usr/include/ace/os_include/os_semaphore.h /usr/include/semaphore.h \
 /usr/include/x86_64-linux-gnu/bits/semaphore.h \
 /usr/include/ace/OS_NS_signal.h /usr/include/ace/OS_NS_signal.inl \
 /usr/include/ace/OS_NS_Thread.inl /usr/include/ace/OS_NS_sys_mman.h \
 /usr/include/ace/os_include/sys/os_mman.h \
 /usr/include/x86_64-linux-gnu/sys/mman.h \
 /usr/include/x86_64-linux-gnu/bits/mman.h \
 /usr/include/x86_64-linux-gnu/bits/mman-map-flags-generic.h \
 /usr/include/x86_64-linux-gnu/bits/mman-linux.h \
 /usr/include/x86_64-linux-gnu/bits/mman-shared.h \
 /usr/include/x86_64-linux-gnu/bits/mman_ext.h \
 /usr/include/ace/OS_NS_sys_mman.inl /usr/include/ace/OS_NS_stdio.h \
 /usr/include/ace/OS_NS_stdio.inl /usr/include/ace/OS_NS_pwd.h \
 /usr/include/ace/os_include/os_pwd.h /usr/include/pwd.h \
 /usr/include/ace/OS_NS_pwd.inl /usr/include/ace/OS_NS_sys_stat.h \
 /usr/include/ace/OS_NS_sys_stat.inl /usr/include/ace/OS_NS_sys_time.h \
 /usr/include/ace/OS_NS_sys_time.inl /usr/include/ace/Reactor.h \
 /usr/include/ace/Timer_Queuefwd.h \
 /usr/include/ace/Reactor_Timer_Interface.h \
 /usr/include/ace/Event_Handler.h /usr/include/ace/Reactor.inl \
 /usr/include/ace/Reactor_Impl.h /usr/include/ace/Countdown_Time.h \
 /usr/include/ace/Countdown_Time_T.h /usr/include/ace/Time_Policy.h \
 /usr/include/ace/Time_Value_T.h /usr/include/ace/Time_Value_T.inl \
 /usr/include/ace/Time_Value_T.cpp /usr/include/ace/Time_Policy.inl \
 /usr/include/ace/High_Res_Timer.h /usr/include/ace/OS_NS_time.h \
 /usr/include/ace/OS_NS_time.inl /usr/include/ace/High_Res_Timer.inl \
 /usr/include/ace/Copy_Disabled.h /usr/include/ace/Countdown_Time_T.inl \
 /usr/include/ace/Countdown_Time_T.cpp /usr/include/ace/Service_Config.h \
 /usr/include/ace/Intrusive_Auto_Ptr.h /usr/include/ace/Atomic_Op.h \
 /usr/include/ace/Thread_Mutex.h /usr/include/ace/Thread_Mutex.inl \
 /usr/include/ace/Atomic_Op_T.h /usr/include/ace/Atomic_Op_T.inl \
 /usr/include/ace/Guard_T.h /usr/include/ace/Guard_T.inl \
 /usr/include/ace/RW_Thread_Mutex.h /usr/include/ace/RW_Mutex.h \
 /usr/include/ace/RW_Mutex.inl /usr/include/ace/RW_Thread_Mutex.inl \
 /usr/include/ace/Guard_T.cpp /usr/include/ace/Atomic_Op_T.cpp \
 /usr/include/ace/Atomic_Op_GCC_T.h /usr/include/ace/Atomic_Op_GCC_T.inl \
 /usr/include/ace/Atomic_Op_GCC_T.cpp /usr/include/ace/Atomic_Op.inl \
 /usr/include/ace/Intrusive_Auto_Ptr.inl /usr/include/ace/Log_Category.h \
 /usr/include/ace/Log_Category.inl \
 /usr/include/ace/Intrusive_Auto_Ptr.cpp \
 /usr/include/ace/Service_Gestalt.h /usr/include/ace/SString.h \
 /usr/include/ace/SStringfwd.h /usr/include/ace/String_Base.h \
 /usr/include/ace/String_Base_Const.h /usr/include/ace/Malloc_Base.h \
 /usr/include/c++/12/iterator /usr/include/c++/12/bits/stream_iterator.h \
 /usr/include/ace/String_Base.inl /usr/include/ace/Min_Max.h \
 /usr/include/ace/String_Base.cpp /usr/include/ace/ACE.h \
 /usr/include/ace/ACE.inl /usr/include/ace/OS_NS_ctype.h \
 /usr/include/ace/os_include/os_wctype.h /usr/include/ace/OS_NS_ctype.inl \
 /usr/include/ace/OS_NS_sys_socket.h \
 /usr/include/ace/os_include/net/os_if.h /usr/include/net/if.h \
 /usr/include/ace/OS_NS_stropts.h \
 /usr/include/ace/os_include/os_stropts.h \
 /usr/include/x86_64-linux-gnu/sys/ioctl.h \
 /usr/include/x86_64-linux-gnu/bits/ioctls.h \
 /usr/include/x86_64-linux-gnu/asm/ioctls.h \
 /usr/include/asm-generic/ioctls.h /usr/include/linux/ioctl.h \
 /usr/include/x86_64-linux-gnu/asm/ioctl.h \
 /usr/include/asm-generic/ioctl.h \
 /usr/include/x86_64-linux-gnu/bits/ioctl-types.h \
 /usr/include/x86_64-linux-gnu/sys/ttydefaults.h \
 /usr/include/ace/OS_NS_stropts.inl /usr/include/ace/OS_QoS.h \
 /usr/include/ace/OS_NS_sys_socket.inl /usr/include/ace/OS_NS_sys_uio.h \
 /usr/include/ace/OS_NS_sys_uio.inl /usr/include/ace/SString.inl \
 /usr/include/ace/Unbounded_Queue.h /usr/include/ace/Node.h \
 /usr/include/ace/Node.cpp /usr/include/ace/Unbounded_Queue.inl \
 /usr/include/ace/Unbounded_Queue.cpp /usr/include/ace/Unbounded_Set.h \
 /usr/include/ace/Unbounded_Set_Ex.h \
 /usr/include/ace/Unbounded_Set_Ex.inl \
 /usr/include/ace/Unbounded_Set_Ex.cpp /usr/include/ace/Unbounded_Set.inl \
 /usr/include/ace/Unbounded_Set.cpp /usr/include/ace/Service_Repository.h \
 /usr/include/ace/Array_Map.h /usr/include/ace/Array_Map.inl \
 /usr/include/ace/Array_Map.cpp /usr/include/ace/checked_iterator.h \
 /usr/include/ace/Recursive_Thread_Mutex.h \
 /usr/include/ace/Recursive_Thread_Mutex.inl \
 /usr/include/ace/Service_Repository.inl /usr/include/ace/Singleton.h \
 /usr/include/ace/TSS_T.h /usr/include/ace/TSS_T.inl \
 /usr/include/ace/Thread.h /usr/include/ace/Thread_Adapter.h \
 /usr/include/ace/Thread_Adapter.inl /usr/include/ace/Thread.inl \
 /usr/include/ace/TSS_T.cpp /usr/include/ace/Singleton.inl \
 /usr/include/ace/Singleton.cpp /usr/include/ace/Object_Manager.h \
 /usr/include/ace/Static_Object_Lock.h \
 /usr/include/ace/Object_Manager.inl /usr/include/ace/Managed_Object.h \
 /usr/include/ace/Managed_Object.inl /usr/include/ace/Managed_Object.cpp \
 /usr/include/ace/Framework_Component.h \
 /usr/include/ace/Framework_Component.inl \
 /usr/include/ace/Framework_Component_T.h \
 /usr/include/ace/Framework_Component_T.cpp \
 /usr/include/ace/os_include/os_typeinfo.h \
 /usr/include/ace/Service_Gestalt.inl /usr/include/ace/Service_Config.inl \
 /usr/include/ace/Thread_Manager.h /usr/include/ace/Thread_Exit.h \
 /usr/include/ace/Thread_Control.h /usr/include/ace/Thread_Control.inl \
 /usr/include/ace/Condition_Thread_Mutex.h \
 /usr/include/ace/Condition_Attributes.h \
 /usr/include/ace/Condition_Attributes.inl /usr/include/ace/Condition_T.h \
 /usr/include/ace/Condition_T.inl /usr/include/ace/Condition_T.cpp \
 /usr/include/ace/Condition_Thread_Mutex.inl \
 /usr/include/ace/Containers.h /usr/include/ace/Containers.inl \
 /usr/include/ace/Containers_T.h /usr/include/ace/Array_Base.h \
 /usr/include/ace/Array_Base.inl /usr/include/ace/Array_Base.cpp \
 /usr/include/ace/Containers_T.inl /usr/include/ace/Containers_T.cpp \
 /usr/include/ace/Free_List.h /usr/include/ace/Free_List.cpp \
 /usr/include/ace/Thread_Manager.inl /work/main/scrt/log_macros.h \
 /work/main/starter/open_service_config.h /usr/include/c++/12/set \
 /usr/include/c++/12/bits/stl_tree.h /usr/include/c++/12/bits/stl_set.h \
 /usr/include/c++/12/bits/stl_multiset.h /usr/include/ace/ARGV.h \
 /usr/include/ace/ARGV.inl /usr/include/ace/ARGV.cpp \
 /usr/include/ace/Dirent.h /usr/include/ace/OS_NS_dirent.h \
 /usr/include/ace/os_include/os_dirent.h /usr/include/dirent.h \
 /usr/include/x86_64-linux-gnu/bits/dirent.h \
 /usr/include/x86_64-linux-gnu/bits/dirent_ext.h \
 /usr/include/ace/OS_NS_dirent.inl /usr/include/ace/Dirent.inl \
 /usr/include/ace/Get_Opt.h /usr/include/ace/Get_Opt.inl \
 /work/main/scrt/inline_util.h /work/main/scrt/string_sprintf.h \
 /usr/include/c++/12/cstdarg /work/main/scrt/string_sprintf.inl
