! The factor-once entry points through the Fortran module: for every element
! type, pchol_factorK and pchol_factored_solveK store the same a and b, bit
! for bit, as pchol_solveK (all through the C entry points, which the C++
! tests compare with the C++ ones), the factored solve leaves a and work as
! the factor left them, and the solution is the system's. Stops with code 1
! when any of that does not hold.
program factored_fortran_test
  use, intrinsic :: iso_c_binding, only: c_float, c_double, c_float_complex, c_double_complex, c_int8_t, c_int32_t
  use pchol
  implicit none
  integer(c_int32_t), parameter :: n = 300, hbw = 5, nrhs = 3
  integer, parameter :: band = (n - 1) * hbw + n
  real(c_double) :: a0(band), x(n * nrhs), b0(n * nrhs)
  integer(c_int32_t) :: r, c, k, i(3)
  integer :: failures = 0

  ! 3 * hbw on the diagonal, -1 and 1/2 beside it; b = A x for x(r, k) = r / n + k.
  a0 = 0
  do r = 1, n
    do c = r, min(r + hbw, n)
      a0((r - 1) * hbw + c) = merge(3.0d0 * hbw, merge(-1.0d0, 0.5d0, mod(c - r, 2) == 1), c == r)
    end do
  end do
  do k = 0, nrhs - 1
    do r = 1, n
      x(k * n + r) = real(r, c_double) / n + k
    end do
  end do
  do k = 0, nrhs - 1
    do r = 1, n
      b0(k * n + r) = 0
      do c = max(r - hbw, 1), min(r + hbw, n)
        b0(k * n + r) = b0(k * n + r) + a0((min(r, c) - 1) * hbw + max(r, c)) * x(k * n + c)
      end do
    end do
  end do
  call pchol_set_thread_count(3_c_int32_t)

  block
    real(c_float) :: a1(band), a2(band), b1(n * nrhs), b2(n * nrhs), w1(2 * n * hbw), w2(2 * n * hbw), a3(band)
    a1 = real(a0, c_float); a2 = a1; b1 = real(b0, c_float); b2 = b1
    call pchol_solve4(a1, n, hbw, b1, nrhs, w1, i(1)); call pchol_factor4(a2, n, hbw, w2, i(2)); a3 = a2; w1 = w2
    call pchol_factored_solve4(a2, n, hbw, b2, nrhs, w2, i(3))
    call check('4', same(bytes_s(a1), bytes_s(a2)) .and. same(bytes_s(a2), bytes_s(a3)) .and. &
               same(bytes_s(w1), bytes_s(w2)) .and. same(bytes_s(b1), bytes_s(b2)), maxval(abs(b2 - x)) < 1e-4)
  end block
  block
    real(c_double) :: a1(band), a2(band), b1(n * nrhs), b2(n * nrhs), w1(2 * n * hbw), w2(2 * n * hbw), a3(band)
    a1 = a0; a2 = a1; b1 = b0; b2 = b1
    call pchol_solve3(a1, n, hbw, b1, nrhs, w1, i(1)); call pchol_factor3(a2, n, hbw, w2, i(2)); a3 = a2; w1 = w2
    call pchol_factored_solve3(a2, n, hbw, b2, nrhs, w2, i(3))
    call check('3', same(bytes_d(a1), bytes_d(a2)) .and. same(bytes_d(a2), bytes_d(a3)) .and. &
               same(bytes_d(w1), bytes_d(w2)) .and. same(bytes_d(b1), bytes_d(b2)), maxval(abs(b2 - x)) < 1d-10)
  end block
  block
    complex(c_float_complex) :: a1(band), a2(band), b1(n * nrhs), b2(n * nrhs), w1(2 * n * hbw), w2(2 * n * hbw), &
                                a3(band)
    a1 = cmplx(a0, a0 / 4, c_float_complex); a2 = a1; b1 = cmplx(b0, b0 / 4, c_float_complex); b2 = b1
    call pchol_solve2(a1, n, hbw, b1, nrhs, w1, i(1)); call pchol_factor2(a2, n, hbw, w2, i(2)); a3 = a2; w1 = w2
    call pchol_factored_solve2(a2, n, hbw, b2, nrhs, w2, i(3))
    call check('2', same(bytes_c(a1), bytes_c(a2)) .and. same(bytes_c(a2), bytes_c(a3)) .and. &
               same(bytes_c(w1), bytes_c(w2)) .and. same(bytes_c(b1), bytes_c(b2)), maxval(abs(b2 - x)) < 1e-4)
  end block
  block
    complex(c_double_complex) :: a1(band), a2(band), b1(n * nrhs), b2(n * nrhs), w1(2 * n * hbw), w2(2 * n * hbw), &
                                 a3(band)
    a1 = cmplx(a0, a0 / 4, c_double_complex); a2 = a1; b1 = cmplx(b0, b0 / 4, c_double_complex); b2 = b1
    call pchol_solve1(a1, n, hbw, b1, nrhs, w1, i(1)); call pchol_factor1(a2, n, hbw, w2, i(2)); a3 = a2; w1 = w2
    call pchol_factored_solve1(a2, n, hbw, b2, nrhs, w2, i(3))
    call check('1', same(bytes_z(a1), bytes_z(a2)) .and. same(bytes_z(a2), bytes_z(a3)) .and. &
               same(bytes_z(w1), bytes_z(w2)) .and. same(bytes_z(b1), bytes_z(b2)), maxval(abs(b2 - x)) < 1d-10)
  end block

  if (failures > 0) stop 1
  print '(a)', 'factored solves through the Fortran module: same bits as pchol_solveK in every element type'

contains

  ! The bytes of an array, for comparisons bit for bit.
  function bytes_s(v) result(b)
    real(c_float), intent(in) :: v(:)
    integer(c_int8_t), allocatable :: b(:)
    b = transfer(v, [0_c_int8_t])
  end function
  function bytes_d(v) result(b)
    real(c_double), intent(in) :: v(:)
    integer(c_int8_t), allocatable :: b(:)
    b = transfer(v, [0_c_int8_t])
  end function
  function bytes_c(v) result(b)
    complex(c_float_complex), intent(in) :: v(:)
    integer(c_int8_t), allocatable :: b(:)
    b = transfer(v, [0_c_int8_t])
  end function
  function bytes_z(v) result(b)
    complex(c_double_complex), intent(in) :: v(:)
    integer(c_int8_t), allocatable :: b(:)
    b = transfer(v, [0_c_int8_t])
  end function

  logical function same(x, y)
    integer(c_int8_t), intent(in) :: x(:), y(:)
    same = size(x) == size(y)
    if (same) same = all(x == y)
  end function

  ! i holds the infos of the solve, the factor and the factored solve.
  subroutine check(kind, bits, close)
    character(*), intent(in) :: kind
    logical, intent(in) :: bits, close
    if (any(i /= pchol_info_ok) .or. .not. bits .or. .not. close) then
      print '(3a, 3i4, 2l2)', 'element type ', kind, ': infos, same bits, solved: ', i, bits, close
      failures = failures + 1
    end if
  end subroutine
end program factored_fortran_test
