! The Fortran interface of the parallel banded solver: bind(C) interfaces to
! the C entry points of pchol.h, so that a program calls
!
!     call pchol_solve4(a, n, hbw, b, nrhs, work, info)
!
! with its own arrays and integers, passed by reference as usual. Every
! entry point of the C interface is here, with the same arguments:
! pchol_solve1 ... 4 and pchol_pipelined_solve1 ... 4 for the element types
! below, pchol_set_thread_count, pchol_get_thread_count,
! pchol_set_subnormal_flush, pchol_get_subnormal_flush and pchol_get_version.
!
!   a     the band: the upper triangle by rows, diagonal first. Row r takes
!         hbw + 1 consecutive elements; entry (r, c), r <= c <= r + hbw, is
!         a((r - 1) * hbw + c). (n - 1) * hbw + n elements, overwritten by
!         the factor.
!   b     n by nrhs, column-major (b(n, nrhs) will do); overwritten by the
!         solutions.
!   work  pchol_workspace_size4(n, hbw) elements of scratch (for
!         pchol_solveK, pchol_workspace_sizeK). The pipelined drivers use
!         none: their work is optional (Fortran 2018), so a call may leave
!         it out and name info, call pchol_pipelined_solve4(a, n, hbw, b,
!         nrhs, info=info).
!   info  one of the pchol_info_* codes below.
!
! n, hbw, nrhs and info are integer(c_int32_t) (the default integer kind of
! most compilers); the workspace sizes are integer(c_int64_t).
module pchol
  use, intrinsic :: iso_c_binding, only: c_float, c_double, c_float_complex, c_double_complex, &
                                         c_int32_t, c_int64_t
  implicit none
  private

  ! The result codes (info).
  ! The system was solved.
  integer(c_int32_t), parameter, public :: pchol_info_ok = 0
  ! A pivot was not positive (the matrix is not positive definite): a and b
  ! are partly overwritten and of no use.
  integer(c_int32_t), parameter, public :: pchol_info_pivot_failed = -1
  ! hbw < 0, the band or the workspace does not fit a 32-bit count, or n is
  ! too large for the solver's 32-bit row counters: nothing was touched.
  integer(c_int32_t), parameter, public :: pchol_info_bad_arguments = -2
  ! The solver's mutex, a synchronisation point or a worker thread could not
  ! be created. Without the mutex or a point nothing was computed; with a
  ! worker thread missing the solve ran to the end on the threads that did
  ! start, and a and b hold the factor and the solution.
  integer(c_int32_t), parameter, public :: pchol_info_no_resources = -3

  public :: pchol_workspace_size1, pchol_workspace_size2, pchol_workspace_size3, pchol_workspace_size4
  public :: pchol_pipelined_workspace_size1, pchol_pipelined_workspace_size2
  public :: pchol_pipelined_workspace_size3, pchol_pipelined_workspace_size4
  public :: pchol_solve1, pchol_solve2, pchol_solve3, pchol_solve4
  public :: pchol_pipelined_solve1, pchol_pipelined_solve2, pchol_pipelined_solve3, pchol_pipelined_solve4
  public :: pchol_set_thread_count, pchol_get_thread_count, pchol_set_subnormal_flush, pchol_get_subnormal_flush
  public :: pchol_get_version

  interface
    ! The length of work, in elements, for pchol_solveK: 2 * n * hbw, and 0
    ! when n or hbw is not positive; for pchol_pipelined_solveK: 0 (work is
    ! not used). A count above 2**31 - 1 makes the solver refuse the system.
    integer(c_int64_t) function pchol_workspace_size1(n, hbw) bind(C, name='pchol_workspace_size1')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_workspace_size2(n, hbw) bind(C, name='pchol_workspace_size2')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_workspace_size3(n, hbw) bind(C, name='pchol_workspace_size3')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_workspace_size4(n, hbw) bind(C, name='pchol_workspace_size4')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_pipelined_workspace_size1(n, hbw) bind(C, name='pchol_pipelined_workspace_size1')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_pipelined_workspace_size2(n, hbw) bind(C, name='pchol_pipelined_workspace_size2')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_pipelined_workspace_size3(n, hbw) bind(C, name='pchol_pipelined_workspace_size3')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function
    integer(c_int64_t) function pchol_pipelined_workspace_size4(n, hbw) bind(C, name='pchol_pipelined_workspace_size4')
      import :: c_int32_t, c_int64_t
      integer(c_int32_t), intent(in) :: n, hbw
    end function

    ! The solvers: pchol_solve1 complex(c_double_complex), pchol_solve2
    ! complex(c_float_complex), pchol_solve3 real(c_double), pchol_solve4
    ! real(c_float). The complex ones take a complex symmetric matrix (never
    ! conjugated); only a pivot of modulus 0 fails. The pipelined drivers solve
    ! the same systems, factored in the natural row order by a pipeline of the
    ! same threads.
    subroutine pchol_solve1(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_solve1')
      import :: c_double_complex, c_int32_t
      complex(c_double_complex), intent(inout) :: a(*), b(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_solve2(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_solve2')
      import :: c_float_complex, c_int32_t
      complex(c_float_complex), intent(inout) :: a(*), b(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_solve3(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_solve3')
      import :: c_double, c_int32_t
      real(c_double), intent(inout) :: a(*), b(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_solve4(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_solve4')
      import :: c_float, c_int32_t
      real(c_float), intent(inout) :: a(*), b(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_pipelined_solve1(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_pipelined_solve1')
      import :: c_double_complex, c_int32_t
      complex(c_double_complex), intent(inout) :: a(*), b(*)
      complex(c_double_complex), intent(inout), optional :: work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_pipelined_solve2(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_pipelined_solve2')
      import :: c_float_complex, c_int32_t
      complex(c_float_complex), intent(inout) :: a(*), b(*)
      complex(c_float_complex), intent(inout), optional :: work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_pipelined_solve3(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_pipelined_solve3')
      import :: c_double, c_int32_t
      real(c_double), intent(inout) :: a(*), b(*)
      real(c_double), intent(inout), optional :: work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_pipelined_solve4(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_pipelined_solve4')
      import :: c_float, c_int32_t
      real(c_float), intent(inout) :: a(*), b(*)
      real(c_float), intent(inout), optional :: work(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine

    ! The solvers' thread count becomes min(k, processor count, 32).
    subroutine pchol_set_thread_count(k) bind(C, name='pchol_set_thread_count')
      import :: c_int32_t
      integer(c_int32_t), intent(in) :: k
    end subroutine

    ! t becomes the thread count: the processor count if none was set.
    subroutine pchol_get_thread_count(t) bind(C, name='pchol_get_thread_count')
      import :: c_int32_t
      integer(c_int32_t), intent(out) :: t
    end subroutine

    ! Whether the solvers' threads flush subnormal values to zero (on /= 0,
    ! the default) or keep gradual underflow (on = 0).
    subroutine pchol_set_subnormal_flush(on) bind(C, name='pchol_set_subnormal_flush')
      import :: c_int32_t
      integer(c_int32_t), intent(in) :: on
    end subroutine

    ! on becomes 1 when the solvers flush subnormal values, 0 when not.
    subroutine pchol_get_subnormal_flush(on) bind(C, name='pchol_get_subnormal_flush')
      import :: c_int32_t
      integer(c_int32_t), intent(out) :: on
    end subroutine

    ! The major, minor and patch number of the library the program runs with.
    subroutine pchol_get_version(major, minor, patch) bind(C, name='pchol_get_version')
      import :: c_int32_t
      integer(c_int32_t), intent(out) :: major, minor, patch
    end subroutine
  end interface

  ! ---- Factor once, solve many ----
  ! pchol_factorK factors a in place and leaves in work (pchol_workspace_sizeK
  ! elements) what the solves need: pchol_solveK with nrhs = 0.
  ! pchol_factored_solveK then solves for b with that factor, only reading a
  ! and work, as often as needed; a factor and a factored solve store the same
  ! a and b, bit for bit, as one pchol_solveK. Nothing checks that a and work
  ! hold a factor: pass them as pchol_factorK left them (same n and hbw, same
  ! program run). After a failed factor (pchol_info_pivot_failed) a factored
  ! solve still returns pchol_info_ok with meaningless values in b: checking
  ! the factor's info is the caller's part. The pipelined drivers' factor
  ! (nrhs = 0) is LAPACK's lower band storage of the Cholesky factor for the
  ! real types, which spbtrs / dpbtrs with uplo = 'L' and ldab = hbw + 1 take.
  public :: pchol_factor1, pchol_factor2, pchol_factor3, pchol_factor4
  public :: pchol_factored_solve1, pchol_factored_solve2, pchol_factored_solve3, pchol_factored_solve4

  interface
    subroutine pchol_factor1(a, n, hbw, work, info) bind(C, name='pchol_factor1')
      import :: c_double_complex, c_int32_t
      complex(c_double_complex), intent(inout) :: a(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factor2(a, n, hbw, work, info) bind(C, name='pchol_factor2')
      import :: c_float_complex, c_int32_t
      complex(c_float_complex), intent(inout) :: a(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factor3(a, n, hbw, work, info) bind(C, name='pchol_factor3')
      import :: c_double, c_int32_t
      real(c_double), intent(inout) :: a(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factor4(a, n, hbw, work, info) bind(C, name='pchol_factor4')
      import :: c_float, c_int32_t
      real(c_float), intent(inout) :: a(*), work(*)
      integer(c_int32_t), intent(in) :: n, hbw
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factored_solve1(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_factored_solve1')
      import :: c_double_complex, c_int32_t
      complex(c_double_complex), intent(in) :: a(*), work(*)
      complex(c_double_complex), intent(inout) :: b(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factored_solve2(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_factored_solve2')
      import :: c_float_complex, c_int32_t
      complex(c_float_complex), intent(in) :: a(*), work(*)
      complex(c_float_complex), intent(inout) :: b(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factored_solve3(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_factored_solve3')
      import :: c_double, c_int32_t
      real(c_double), intent(in) :: a(*), work(*)
      real(c_double), intent(inout) :: b(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
    subroutine pchol_factored_solve4(a, n, hbw, b, nrhs, work, info) bind(C, name='pchol_factored_solve4')
      import :: c_float, c_int32_t
      real(c_float), intent(in) :: a(*), work(*)
      real(c_float), intent(inout) :: b(*)
      integer(c_int32_t), intent(in) :: n, hbw, nrhs
      integer(c_int32_t), intent(out) :: info
    end subroutine
  end interface
end module pchol
