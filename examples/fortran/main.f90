! Solves a small band system whose solution is known, on two threads, with
! the block solver and once more with the pipelined driver (which takes no
! work array), and checks the answers. Stops with code 1 when one does not
! hold.
program example_fortran
  use, intrinsic :: iso_c_binding, only: c_float, c_int32_t
  use pchol
  implicit none
  integer(c_int32_t), parameter :: n = 40, hbw = 3, nrhs = 1
  real(c_float) :: a((n - 1) * hbw + n), b(n), x(n), a0((n - 1) * hbw + n), b0(n)
  real(c_float), allocatable :: work(:)
  integer(c_int32_t) :: r, c, info, major, minor, patch
  real :: worst

  ! The band by rows, diagonal first: entry (r, c) is a((r - 1) * hbw + c).
  ! 10 on the diagonal, -1 on the band beside it; x(r) = 1 + r / 8.
  a = 0
  do r = 1, n
    x(r) = 1 + real(r) / 8
    do c = r, min(r + hbw, n)
      a((r - 1) * hbw + c) = merge(10.0, -1.0, c == r)
    end do
  end do
  do r = 1, n
    b(r) = 0
    do c = max(r - hbw, 1), min(r + hbw, n)
      b(r) = b(r) + a((min(r, c) - 1) * hbw + max(r, c)) * x(c)
    end do
  end do

  a0 = a
  b0 = b
  allocate(work(pchol_workspace_size4(n, hbw)))
  call pchol_set_thread_count(2_c_int32_t)
  call pchol_solve4(a, n, hbw, b, nrhs, work, info)
  if (info /= pchol_info_ok) then
    print '(a, i0)', 'pchol_solve4 failed: info = ', info
    stop 1
  end if

  worst = maxval(abs(b - x))
  print '(a, i0, a, i0, a, es9.2)', 'Fortran example: n = ', n, ', hbw = ', hbw, ', largest error ', worst
  if (worst >= 1e-4) stop 1

  call pchol_pipelined_solve4(a0, n, hbw, b0, nrhs, info=info)
  if (info /= pchol_info_ok .or. maxval(abs(b0 - x)) >= 1e-4) then
    print '(a, i0)', 'pchol_pipelined_solve4 failed: info = ', info
    stop 1
  end if

  call pchol_get_version(major, minor, patch)
  print '(a, i0, a, i0, a, i0)', 'pchol ', major, '.', minor, '.', patch
  if (major < 0 .or. minor < 0 .or. patch < 0) stop 1
end program example_fortran
