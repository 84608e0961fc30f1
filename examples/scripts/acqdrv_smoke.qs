# The sample driver's first S5933 card as a user program sees it: the description, a
# request the driver does not know, a port write, a short continuous acquisition, a device
# that is not there. Run it:  qorsim run default --program examples/scripts/acqdrv_smoke.qs
open    a   \\.\AcqA0
ioctl   a   0xADC02040 out=298 status=QorOk returned=298 check=4:u16=0,6:u16=3   # bus 0, slot 3
ioctl   a   fn:0x7FF out=2 expect=error:87                                  # not in the request table
ioctl   a   fn:0x8A2 in=i16:0,u16:0x0C,u16:4,u32:0x12345678 out=2 status=QorOk   # port write: card register 0x0C
acquire \\.\AcqA0 halves=20
open    b   \\.\AcqZ9 expect=error:2
close   a
